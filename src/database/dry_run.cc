#include "database/database_state.h"
#include "quillrun/database.h"
#include "quillrun/messages.h"
#include "quillrun/report.h"

int database_consumer_dry_run(replay_item *item) {
    trace_enter("database_consumer_dry_run");
    database_state &state = replay_state();
    // The recorded span runs from the earliest to the latest item: where
    // time runs backwards in a log, the last item is not the latest.
    time_value time = from_timeval(*replay_get_time(item));
    if (!state.dry_run_saw_first_item) {
        state.first_item_time = state.last_item_time = time;
        state.dry_run_saw_first_item = true;
    } else if (later_than(state.first_item_time, time)) {
        state.first_item_time = time;
    } else if (later_than(time, state.last_item_time)) {
        state.last_item_time = time;
    }
    ++state.counters.stat_calls;
    switch (replay_get_type(item)) {
        case pg_connect:
            ++state.counters.stat_connections;
            if (++state.counters.stat_open_connections > state.counters.stat_max_connections)
                state.counters.stat_max_connections = state.counters.stat_open_connections;
            break;
        case pg_disconnect:
            // A disconnect without a connect (possible in a replay file)
            // must not wrap the count around.
            if (state.counters.stat_open_connections > 0) --state.counters.stat_open_connections;
            break;
        case pg_prepare:
            ++state.counters.stat_prepares;
            ++state.counters.stat_results;
            break;
        case pg_execute:
        case pg_exec_prepared: ++state.counters.stat_results; break;
        case pg_cancel: break;
    }
    report_note_item(item);
    replay_free(item);
    trace_leave("database_consumer_dry_run");
    return 1;
}
