#include "database/replay_report.h"

#include "quillrun/report.h"

bool write_replay_report(const database_state &state, int dry_run, bool failed) {
    report_totals totals;
    if (dry_run) {
        totals.recorded_duration = in_seconds(state.last_item_time - state.first_item_time);
    } else {
        totals.run_time = in_seconds(state.stop_time - state.start_time);
        totals.max_lag = state.stat_max_lag;
        totals.errors = state.stat_errors;
        totals.prepares = state.stat_prepares;
        totals.max_statements = state.stat_max_statements;
        totals.statement_time = in_seconds(state.stat_statement_time);
        totals.max_statement_time = in_seconds(state.stat_max_statement_time);
    }
    totals.calls = state.stat_calls;
    totals.connections = state.stat_connections;
    totals.max_connections = state.stat_max_connections;
    totals.statements = state.stat_results - state.stat_prepares;
    return report_finish(totals, failed ? report_failed : report_complete) != 0;
}
