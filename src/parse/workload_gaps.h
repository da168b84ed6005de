// What a log shows of its own gaps: statements that the server's logging
// settings did not record, or recorded in a form that cannot be replayed.
// Counted while the log is read and warned about once per kind at its end.
#pragma once

#include <cstdint>

struct workload_gaps {
    uint64_t sessions = 0;            // connect items made
    uint64_t logged_statements = 0;   // "statement: " and "execute" entries, written at the start
    uint64_t timed_statements = 0;    // the same from duration entries, written at the end
    uint64_t failed_statements = 0;   // ERROR entries
    int64_t shortest_duration_us = -1;  // of the timed statements
    // Of the logged statements, by what log_statement = 'ddl' or 'mod' would
    // still write.
    uint64_t schema_statements = 0;
    uint64_t data_statements = 0;
    uint64_t other_statements = 0;
};

// Counts a statement text that an entry without a duration carries.
void note_logged_statement(workload_gaps &gaps, const char *text);
void note_timed_statement(workload_gaps &gaps, int64_t duration_us);

// Prints one warning per kind of gap on standard error.
void warn_about_gaps(const workload_gaps &gaps);
