// What the providers and the replay tell the status line about a run under
// way.  Each unit fills these from what it counts anyway; nothing here is
// kept for the purpose.
#pragma once

#include <cstdint>

// How far a provider is through its input.
struct input_progress {
    uint64_t bytes_consumed = 0;
    int64_t size = -1;            // of a regular file; -1 for a pipe or a terminal
    bool counts_lines = false;    // a log has lines, a replay file has not
    uint64_t lines = 0;           // physical lines consumed
    bool counts_statements = false;
    uint64_t statements = 0;      // SQL statements recognised so far
};

// Where a replay (or a dry run) stands.
struct replay_progress {
    int64_t recorded_microseconds = 0;  // recorded time reached, from the first item
    int64_t lag_seconds = 0;            // how late the item due now is, whole seconds
    uint64_t statements = 0;            // executed (a dry run: handed over), prepares left out
    uint64_t open_sessions = 0;
    uint64_t errors = 0;
};
