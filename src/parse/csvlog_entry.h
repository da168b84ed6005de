// The entry parser of the CSV log format: one record per entry, the
// fields that matter unquoted in place in the record's own buffer.
#pragma once

#include <sys/time.h>

#include <cstdint>

#include "log_entry.h"

struct csvlog_parser {
    bool input_ended = false;  // the end was reported: nothing more is read
};

// A log_entry_parser.  The detail points into the message's buffer.
int parse_csvlog_entry(struct timeval *time, char *user, char *database, uint64_t *session_id,
                       log_type *type, char **message, char **detail);
