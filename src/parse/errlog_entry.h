// The entry parser of the stderr log format: every entry begins with the
// prefix "time|user|database|session id|" (or the server's log_line_prefix
// given with -P), then "LEVEL:  message".  The line
// after an entry is read ahead to find the entry's DETAIL.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>

#include "line_prefix.h"
#include "log_entry.h"

constexpr int prefix_separators = 4;

// A line's length and where its first four separators are; `found` of
// them are.
struct line_layout {
    size_t length = 0;
    int found = 0;
    size_t separator[prefix_separators];
};

struct errlog_parser {
    // The line after the previous entry when it was not that entry's
    // DETAIL: the first line of the next entry, with its layout, which was
    // found when it was looked at.
    char *held_back_line = nullptr;
    line_layout held_back_layout;
    prefix_match held_back_match;  // with -P
    unsigned long held_back_line_start = 0;
    // Once a dump was seen, indented lines can no longer be told apart from
    // dump lines, so they are dropped for the rest of the log.
    bool in_memory_dump = false;
    // The end was reported (or is known for the next call): nothing more is
    // read.
    bool input_ended = false;
};

// A log_entry_parser.
int parse_errlog_entry(struct timeval *time, char *user, char *database, uint64_t *session_id,
                       log_type *type, char **message, char **detail);

// Frees what the parser holds between calls.
void release_errlog_parser(errlog_parser &parser);
