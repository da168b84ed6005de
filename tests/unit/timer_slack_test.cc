// Switching between waits that may end late and sleeps that end on time.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include "database/timer_slack.h"

namespace {

unsigned long current_slack() { return static_cast<unsigned long>(prctl(PR_GET_TIMERSLACK)); }

TEST(TimerSlack, LateWakeupsLastUntilTimelyOnesAreRequired) {
    unsigned long initial = current_slack();
    ASSERT_NE(initial, late_wakeup_nanoseconds);
    for (int round = 0; round < 2; ++round) {
        allow_late_wakeups();
        allow_late_wakeups();
        EXPECT_EQ(current_slack(), late_wakeup_nanoseconds);
        require_timely_wakeups();
        EXPECT_EQ(current_slack(), initial);
        require_timely_wakeups();
        EXPECT_EQ(current_slack(), initial);
    }
}

}  // namespace
