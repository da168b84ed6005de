// The state of the database replay, shared by the set-up, the consumer, the
// session connections, the dry run and the statistics.  One instance lives
// for the whole run; everything in it is zero, empty or none at start.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>

#include "database/session_list.h"
#include "database/time_value.h"

constexpr int lag_warning_count = 11;
constexpr int histogram_buckets = 5;

struct database_state {
    time_value start_time;        // set-up; the schedule counts from it
    double speed_factor = 1.0;
    char *connect_string = nullptr;
    session_list connection_list;
    time_value stop_time;
    time_value first_item_time;
    time_value last_item_time;    // dry run only
    time_value skipped_time;      // idle time skipped with -j
    bool consumer_saw_first_item = false;
    bool dry_run_saw_first_item = false;
    bool lag_warned[lag_warning_count] = {};

    int64_t stat_max_lag = 0;     // whole seconds
    uint64_t stat_calls = 0;
    uint64_t stat_connections = 0;
    uint64_t stat_open_connections = 0;
    uint64_t stat_max_connections = 0;
    uint64_t stat_results = 0;
    uint64_t stat_errors = 0;
    uint64_t stat_prepares = 0;
    uint64_t stat_open_statements = 0;
    uint64_t stat_max_statements = 0;
    time_value stat_statement_time;
    time_value stat_max_statement_time;
    time_value stat_connection_time;
    uint64_t stat_histogram[histogram_buckets] = {};

    // Sessions that have queued items, and how many items wait in all.
    session_connection *pending_sessions = nullptr;
    size_t pending_count = 0;

    // Scratch space for the poll over the busy sockets, grown as needed.
    struct pollfd *poll_set = nullptr;
    size_t poll_set_capacity = 0;
    // The poll set holds what the last wait found and no record has changed
    // since, so the next pass can step the records without polling again.
    bool poll_set_waited = false;
};

database_state &replay_state();

// Finishes every connection still open and returns the state to what it
// was at program start.  A run reports open connections rather than
// closing them; this is for running several replays in one process.
void reset_replay_state();
