// Where a replay stands, as the status line reads it from the schedule and
// the counters.
#include <gtest/gtest.h>

#include <cstdlib>

#include "database/database_state.h"
#include "quillrun/database.h"
#include "quillrun/progress.h"
#include "quillrun/settings.h"

namespace {

// The replay started `running` seconds ago; the items hold recorded
// seconds from the first item, which was at 100.
struct situation {
    const char *what;
    int64_t running;
    double factor;
    int64_t skipped;      // idle time skipped with -j
    int64_t front;        // the item at the front of the stream; -1: the stream is empty
    int64_t last_taken;
    int64_t reached, lag;  // whole seconds
};

void enter(const situation &s) {
    reset_replay_state();
    database_state &state = replay_state();
    time_value now;
    ASSERT_TRUE(read_clock(&now));
    state.start_time = now - time_value{s.running, 0};
    state.speed_factor = s.factor;
    state.skipped_time = {s.skipped, 0};
    state.first_item_time = {100, 0};
    state.last_item_time = {100 + s.last_taken, 0};
    state.consumer_saw_first_item = true;
    if (s.front < 0) return;
    struct timeval time = {100 + s.front, 0};
    state.window.entries = static_cast<window_entry *>(malloc(sizeof(window_entry)));
    state.window.entries[0] = {replay_create_execute(&time, 1, "SELECT 1"), 0};
    state.window.capacity = 1;
    state.window.count = 1;
}

TEST(DatabaseProgress, TheRecordedTimeReachedAndTheLag) {
    const situation rows[] = {
        {"on time: the schedule's moment", 10, 1, 0, 20, 21, 10, 0},
        {"the front item late: the replay stands at it", 10, 1, 0, 4, 5, 4, 6},
        {"twice the speed", 10, 2, 0, 30, 30, 20, 0},
        {"twice the speed, late", 10, 2, 0, 8, 30, 8, 6},
        {"idle time skipped counts as reached", 10, 1, 3, 20, 20, 13, 0},
        {"the stream empty: no further than the last item taken", 10, 1, 0, -1, 7, 7, 0},
        {"the stream empty, the provider slow", 10, 1, 0, -1, 50, 10, 0},
    };
    int saved_skip_idle = skip_idle;
    for (const situation &s : rows) {
        skip_idle = s.skipped > 0;
        enter(s);
        replay_progress progress;
        database_progress(&progress);
        EXPECT_EQ(progress.recorded_microseconds / 1000000, s.reached) << s.what;
        EXPECT_EQ(progress.lag_seconds, s.lag) << s.what;
    }
    skip_idle = saved_skip_idle;
    reset_replay_state();
}

TEST(DatabaseProgress, CountsLeavePreparesOut) {
    reset_replay_state();
    replay_counters &counters = replay_state().counters;
    counters.stat_results = 12;
    counters.stat_prepares = 2;
    counters.stat_open_connections = 3;
    counters.stat_errors = 1;
    replay_progress progress;
    database_progress(&progress);
    EXPECT_EQ(progress.statements, 10u);
    EXPECT_EQ(progress.open_sessions, 3u);
    EXPECT_EQ(progress.errors, 1u);
    EXPECT_EQ(progress.recorded_microseconds, 0);  // nothing taken yet
    reset_replay_state();
}

}  // namespace
