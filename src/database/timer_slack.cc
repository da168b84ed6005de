#include "database/timer_slack.h"

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace {

bool late_allowed = false;

// Only the cost of sleeping depends on this, so a refusal is ignored.
void set_timer_slack([[maybe_unused]] unsigned long nanoseconds) {
#ifdef PR_SET_TIMERSLACK
    prctl(PR_SET_TIMERSLACK, nanoseconds, 0UL, 0UL, 0UL);
#endif
}

}  // namespace

void allow_late_wakeups() {
    if (late_allowed) return;
    set_timer_slack(late_wakeup_nanoseconds);
    late_allowed = true;
}

void require_timely_wakeups() {
    if (!late_allowed) return;
    set_timer_slack(0);  // 0 restores the thread's default
    late_allowed = false;
}
