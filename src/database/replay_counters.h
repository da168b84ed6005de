// What a replay (or a dry run) counts.  The consumer, the session
// connections and the dry run update these; the statistics only print them.
#pragma once

#include <cstdint>

#include "database/time_value.h"

constexpr int histogram_buckets = 5;

struct replay_counters {
    int64_t stat_max_lag = 0;     // whole seconds
    uint64_t stat_calls = 0;      // items executed (in a dry run: handed over)
    uint64_t stat_connections = 0;
    uint64_t stat_open_connections = 0;
    uint64_t stat_max_connections = 0;
    uint64_t stat_results = 0;    // in a dry run: statements handed over
    uint64_t stat_errors = 0;
    uint64_t stat_prepares = 0;
    uint64_t stat_open_statements = 0;
    uint64_t stat_max_statements = 0;
    time_value stat_statement_time;
    time_value stat_max_statement_time;
    time_value stat_connection_time;  // of connections closed by a disconnect
    uint64_t stat_histogram[histogram_buckets] = {};

    // Sessions that the server ended during the replay, and the items of
    // theirs that could not be sent after that.  Reported beside the
    // statistics, not in them.
    uint64_t lost_sessions = 0;
    uint64_t skipped_items = 0;
};

// Raises a count of things now open, and its maximum with it.
inline void count_open(uint64_t *open, uint64_t *maximum) {
    ++*open;
    if (*open > *maximum) *maximum = *open;
}
