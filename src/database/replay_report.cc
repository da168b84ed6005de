#include "database/replay_report.h"

#include "quillrun/report.h"

bool write_replay_report(const database_state &state, int dry_run, report_outcome outcome) {
    report_totals totals;
    if (dry_run) {
        totals.recorded_duration = in_seconds(state.last_item_time - state.first_item_time);
    } else {
        totals.run_time = in_seconds(state.stop_time - state.start_time);
        totals.max_lag = state.counters.stat_max_lag;
        totals.errors = state.counters.stat_errors;
        totals.prepares = state.counters.stat_prepares;
        totals.max_statements = state.counters.stat_max_statements;
        totals.statement_time = in_seconds(state.counters.stat_statement_time);
        totals.max_statement_time = in_seconds(state.counters.stat_max_statement_time);
    }
    totals.calls = state.counters.stat_calls;
    totals.connections = state.counters.stat_connections;
    totals.max_connections = state.counters.stat_max_connections;
    totals.statements = state.counters.stat_results - state.counters.stat_prepares;
    return report_finish(totals, outcome) != 0;
}
