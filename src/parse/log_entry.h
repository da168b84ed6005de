// Log entries: the unit in which the entry parsers hand a server log to the
// parse provider.
#pragma once

#include <sys/time.h>

#include <cstdint>

// Message levels of the server, in the server's order.
enum log_type {
    log_debug5 = 0,
    log_debug4,
    log_debug3,
    log_debug2,
    log_debug1,
    log_info,
    log_notice,
    log_warning,
    log_error,
    log_log,
    log_fatal,
    log_panic,
    log_unknown,
};

// Longest user or database name an entry may carry; the caller's buffers
// hold max_name_length + 1 bytes.
constexpr int max_name_length = 64;

// Reads one entry.  Returns 1 with all outputs set; 0 at the end of the
// input (end of file, the first entry after the -e window, and in the CSV
// format an empty line; the stderr format skips empty lines) with message
// and detail null; -1 after a reported error with message and detail null.
//
// message is a heap string the caller hands back with recycle_log_line.  In
// the stderr format detail is a heap string of its own the caller hands
// back too; in the CSV format it points into the message's buffer and must
// not be released separately.
using log_entry_parser = int (*)(struct timeval *time, char *user, char *database,
                                 uint64_t *session_id, log_type *type, char **message,
                                 char **detail);

// Exact, case-sensitive match of a level word; log_unknown for anything else.
log_type parse_log_type(const char *word);
