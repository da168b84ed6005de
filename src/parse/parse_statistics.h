// What the log parser has counted, printed as the "Parse statistics" block
// when the provider finishes.
#pragma once

#include <sys/time.h>

#include <cstdint>

// Counters are bumped when their event is recognised, even if the items for
// it cannot be made afterwards.
struct parse_counters {
    uint64_t simple_statements = 0;        // statements with a word in "statement: " texts
    uint64_t copy_statements = 0;          // COPY statements blanked out of those
    uint64_t parametrized_statements = 0;  // executions of the unnamed statement
    uint64_t named_executions = 0;         // executions of named statements
    uint64_t named_statements = 0;         // names added to a session, each one prepare
    uint64_t cancel_requests = 0;
    uint64_t fastpath_calls = 0;           // ignored
    // The earliest and the latest time of the entries that produced items:
    // those of the first and the last entry, unless the log's time ran
    // backwards somewhere.
    struct timeval first_time = {0, 0};
    struct timeval last_time = {0, 0};
    bool have_first_time = false;
};

// Notes that an entry with this time produced items.
void record_entry_time(parse_counters &stats, const struct timeval &time);

// Prints the block on stats_stream; nothing when stats_stream is null.
void print_parse_statistics(const parse_counters &stats, unsigned long log_lines);
