#include <cstdio>
#include <cstdlib>

#include "database/consumer_queue.h"
#include "database/database_state.h"
#include "database/replay_report.h"
#include "database/timer_slack.h"
#include "quillrun/database.h"
#include "quillrun/messages.h"
#include "quillrun/pipeline.h"
#include "quillrun/settings.h"

namespace {

unsigned long printable(uint64_t count) { return static_cast<unsigned long>(count); }

void print_histogram(const database_state &state, FILE *out) {
    static const char *const labels[histogram_buckets] = {
        "  0    to 0.02 seconds", "  0.02 to 0.1  seconds", "  0.1  to 0.5  seconds",
        "  0.5  to 2    seconds", "     over 2    seconds"};
    double total = 0;
    for (uint64_t count : state.stat_histogram) total += static_cast<double>(count);
    fprintf(out, "Statement duration histogram:\n");
    for (int i = 0; i < histogram_buckets; ++i) {
        // Requests still in flight at the end have results but no duration.
        double share = total > 0 ? static_cast<double>(state.stat_histogram[i]) * 100 / total : 0;
        fprintf(out, "%s: %.3f%%\n", labels[i], share);
    }
}

void print_statement_lines(const database_state &state, FILE *out, double run_time,
                           double statement_time) {
    uint64_t statements = state.stat_results - state.stat_prepares;
    fprintf(out, "(%lu or %.3f%% of these completed with error)\n", printable(state.stat_errors),
            static_cast<double>(state.stat_errors) * 100 / static_cast<double>(statements));
    fprintf(out, "Maximum number of concurrent SQL statements: %lu\n",
            printable(state.stat_max_statements));
    if (run_time > 0)
        fprintf(out, "Average number of concurrent SQL statements: %.3f\n", statement_time / run_time);
    fprintf(out, "Average SQL statement duration: %.3f seconds\n",
            statement_time / static_cast<double>(state.stat_results));
    fprintf(out, "Maximum SQL statement duration: %.3f seconds\n",
            in_seconds(state.stat_max_statement_time));
    print_histogram(state, out);
}

void print_replay_report(const database_state &state, FILE *out) {
    time_value run = state.stop_time - state.start_time;
    double run_time = in_seconds(run);
    double connection_time = in_seconds(state.stat_connection_time);
    double statement_time = in_seconds(state.stat_statement_time);
    fprintf(out, "\nReplay statistics\n");
    fprintf(out, "=================\n\n");
    fprintf(out, "Speed factor for replay: %.3f\n", state.speed_factor);
    fprintf(out, "Total run time:");
    print_duration(run.seconds, run.microseconds);
    fprintf(out, "Maximum lag behind schedule: %lu seconds\n",
            static_cast<unsigned long>(state.stat_max_lag));
    fprintf(out, "Calls to the server: %lu\n", printable(state.stat_calls));
    if (run_time > 0)
        fprintf(out, "(%.3f calls per second)\n", static_cast<double>(state.stat_calls) / run_time);
    fprintf(out, "Total number of connections: %lu\n", printable(state.stat_connections));
    fprintf(out, "Maximum number of concurrent connections: %lu\n",
            printable(state.stat_max_connections));
    if (run_time > 0)
        fprintf(out, "Average number of concurrent connections: %.3f\n", connection_time / run_time);
    if (connection_time > 0)
        fprintf(out, "Average session idle percentage: %.3f%%\n",
                (connection_time - statement_time) * 100 / connection_time);
    fprintf(out, "SQL statements executed: %lu\n",
            printable(state.stat_results - state.stat_prepares));
    if (state.stat_results > state.stat_prepares)
        print_statement_lines(state, out, run_time, statement_time);
}

void print_dry_run_report(const database_state &state, FILE *out) {
    time_value recorded = state.last_item_time - state.first_item_time;
    fprintf(out, "\nReplay statistics (dry run)\n");
    fprintf(out, "===========================\n\n");
    fprintf(out, "Duration of recorded workload:");
    print_duration(recorded.seconds, recorded.microseconds);
    fprintf(out, "Calls to the server: %lu\n", printable(state.stat_calls));
    fprintf(out, "Total number of connections: %lu\n", printable(state.stat_connections));
    fprintf(out, "Maximum number of concurrent connections: %lu\n",
            printable(state.stat_max_connections));
    fprintf(out, "SQL statements executed: %lu\n",
            printable(state.stat_results - state.stat_prepares));
}

}  // namespace

int database_consumer_complete() {
    // The last items may still wait in their sessions' queues; a replay is
    // complete only once they have been sent.
    return drain_pending_items(replay_state()) ? 1 : 0;
}

int database_consumer_dry_run_complete() { return 1; }

void database_consumer_finish(int dry_run) {
    trace_enter("database_consumer_finish");
    database_state &state = replay_state();
    FILE *out = stats_stream;
    require_timely_wakeups();
    free(state.connect_string);
    state.connect_string = nullptr;
    free(state.poll_set);
    state.poll_set = nullptr;
    state.poll_set_capacity = 0;
    state.poll_set_waited = false;
    // Open sessions are reported, not closed: the program is about to end.
    if (state.connection_list.head != nullptr)
        print_error("Error: not all database connections closed\n");
    if (!read_clock(&state.stop_time)) {
        perror("Error calling gettimeofday");
    } else if (out != nullptr) {
        if (dry_run)
            print_dry_run_report(state, out);
        else
            print_replay_report(state, out);
    }
    if (!write_replay_report(state, dry_run, out == nullptr)) finish_failed = 1;
    trace_leave("database_consumer_finish");
}
