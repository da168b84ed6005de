// The database consumer's operations: the scheduler decides, the session
// connections talk to the server, the statistics print what was counted.
#include <cstdio>
#include <cstdlib>

#include "database/database_state.h"
#include "database/replay_report.h"
#include "database/replay_statistics.h"
#include "database/scheduler.h"
#include "database/session_connections.h"
#include "database/timer_slack.h"
#include "quillrun/database.h"
#include "quillrun/interrupt.h"
#include "quillrun/messages.h"
#include "quillrun/settings.h"

int database_consumer(replay_item *item) {
    trace_enter("database_consumer");
    int result = scheduler_take(replay_state(), item);
    trace_leave("database_consumer");
    return result;
}

namespace {

// The per-statement report is an output like the replay file: written when
// the replay completes, so that a failure to write it comes before any
// statistics; after a failure or an interrupt, by the finish, marked so.
bool report_written = false;

bool complete_report(database_state &state, int dry_run) {
    report_written = true;
    if (!read_clock(&state.stop_time)) {
        print_system_error("Error calling gettimeofday");
        return false;
    }
    return write_replay_report(state, dry_run, report_complete);
}

}  // namespace

int database_consumer_complete() {
    database_state &state = replay_state();
    // The last items may still wait in the stream and in parked sessions'
    // queues; a replay is complete only once they have been sent.
    if (!scheduler_complete(state)) return 0;
    return complete_report(state, 0) ? 1 : 0;
}

int database_consumer_dry_run_complete() { return complete_report(replay_state(), 1) ? 1 : 0; }

void database_consumer_finish(int dry_run) {
    trace_enter("database_consumer_finish");
    database_state &state = replay_state();
    require_timely_wakeups();
    scheduler_release(state);
    // Asked to stop: nothing of the replay may go on running on the target.
    if (interrupt_requested()) end_every_session(state);
    free(state.connect_string);
    state.connect_string = nullptr;
    free(state.poll_set);
    free(state.poll_records);
    state.poll_set = nullptr;
    state.poll_records = nullptr;
    state.poll_set_capacity = 0;
    state.readiness_from_wait = false;
    const replay_counters &counters = state.counters;
    if (counters.lost_sessions > 0)
        print_error("Warning: %lu session%s ended by the server during the replay; %lu of "
                    "their items were skipped\n",
                    static_cast<unsigned long>(counters.lost_sessions),
                    counters.lost_sessions == 1 ? " was" : "s were",
                    static_cast<unsigned long>(counters.skipped_items));
    // Open sessions are reported, not closed: the program is about to end.
    if (state.connection_list.head != nullptr)
        print_error("Error: not all database connections closed\n");
    bool clock_ok = report_written || read_clock(&state.stop_time);
    if (!clock_ok) {
        perror("Error calling gettimeofday");
    } else if (stats_stream != nullptr) {
        if (dry_run)
            print_dry_run_report(state, stats_stream);
        else
            print_replay_report(state, stats_stream);
    }
    if (!report_written &&
        !write_replay_report(state, dry_run,
                             interrupt_requested() ? report_interrupted : report_failed))
        finish_failed = 1;
    report_written = false;
    trace_leave("database_consumer_finish");
}
