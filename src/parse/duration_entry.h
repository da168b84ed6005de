// The "duration: X ms" entries that a server writes with
// log_min_duration_statement: each statement once, when it has ended.
#pragma once

#include <cstdint>

// The longest duration accepted, in microseconds: a bound far beyond any
// statement's run time that keeps start times and sums clear of overflow.
constexpr int64_t max_entry_duration_us = 10000000000000;  // 10^10 ms, about 116 days

struct duration_entry {
    int64_t microseconds = 0;
    // What follows the duration and its two blanks ("statement: ...",
    // "execute NAME: ...", "parse ...", "bind ..."), or null for a bare
    // "duration: X ms" that gives the duration of a statement that
    // log_statement wrote when it began.
    char *rest = nullptr;
};

// Reads a message that starts with "duration: ".  False after a reported
// error naming the line: a number that is not one, a missing " ms", a
// negative or huge duration, or text glued to the " ms".
bool parse_duration_entry(char *message, duration_entry &entry);
