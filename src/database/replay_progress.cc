// Where the replay stands, for the status line: read from the schedule and
// the counters, nothing kept of its own.
#include <algorithm>

#include "database/database_state.h"
#include "database/schedule.h"
#include "quillrun/database.h"
#include "quillrun/progress.h"
#include "quillrun/settings.h"

namespace {

int64_t recorded_offset(const database_state &state, const replay_item *item) {
    return in_microseconds(from_timeval(*replay_get_time(item)) - state.first_item_time);
}

// The replay has reached the recorded moment that the schedule has come
// to, unless the item at the front of the stream is late (the replay
// stands at it) or the provider has not delivered that far yet.
void locate_replay(const database_state &state, replay_progress *progress) {
    time_value now;
    if (!read_clock(&now)) return;
    time_value elapsed = now - state.start_time;
    if (skip_idle) elapsed = elapsed + state.skipped_time;
    double scheduled = static_cast<double>(in_microseconds(elapsed)) * state.speed_factor;
    int64_t reached = scheduled < 9.2e18 ? static_cast<int64_t>(scheduled) : INT64_MAX;
    const stream_window &window = state.window;
    if (window.count > 0) {
        const replay_item *front = window.entries[window.front].item;
        reached = std::min(reached, recorded_offset(state, front));
        time_value late = now - target_time(state, from_timeval(*replay_get_time(front)));
        if (late.seconds > 0) progress->lag_seconds = late.seconds;
    } else {
        reached = std::min(reached, in_microseconds(state.last_item_time - state.first_item_time));
    }
    progress->recorded_microseconds = std::max<int64_t>(reached, 0);
}

}  // namespace

void database_progress(replay_progress *progress) {
    const database_state &state = replay_state();
    const replay_counters &counters = state.counters;
    *progress = replay_progress{};
    progress->statements = counters.stat_results > counters.stat_prepares
                               ? counters.stat_results - counters.stat_prepares
                               : 0;
    progress->open_sessions = counters.stat_open_connections;
    progress->errors = counters.stat_errors;
    if (state.dry_run_saw_first_item)
        progress->recorded_microseconds =
            std::max<int64_t>(in_microseconds(state.last_item_time - state.first_item_time), 0);
    else if (state.consumer_saw_first_item)
        locate_replay(state, progress);
}
