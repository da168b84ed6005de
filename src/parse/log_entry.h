// Log entries: the unit in which the entry parsers hand a server log to the
// parse provider, and the line reader they share.
#pragma once

#include <sys/time.h>

#include <cstddef>
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
// input (end of file, an empty line, or the first entry after the -e window)
// with message and detail null; -1 after a reported error with message and
// detail null.
//
// message is a heap string the caller frees.  In the stderr format detail is
// a heap string of its own the caller frees; in the CSV format it points into
// the message's buffer and must not be freed separately.
using log_entry_parser = int (*)(struct timeval *time, char *user, char *database,
                                 uint64_t *session_id, log_type *type, char **message,
                                 char **detail);

int parse_errlog_entry(struct timeval *time, char *user, char *database, uint64_t *session_id,
                       log_type *type, char **message, char **detail);
int parse_csvlog_entry(struct timeval *time, char *user, char *database, uint64_t *session_id,
                       log_type *type, char **message, char **detail);

// Indexed by csv_mode: 0 stderr format, 1 CSV.
extern const log_entry_parser entry_parsers[2];

// Exact, case-sensitive match of a level word; log_unknown for anything else.
log_type parse_log_type(const char *word);

// The next logical line of the log (continuation lines joined in the stderr
// format, quoted line ends kept in CSV) without its final newline, as a heap
// string the caller frees.  The empty string at the end of the input or for
// an empty line; null after a reported error.
char *read_log_line();
// The same, and on success the line's length in *length.
char *read_log_line(size_t *length);

// Takes back a line that read_log_line returned (or a message or detail an
// entry parser made of one) once it is done with, so that its buffer can
// carry a later line.  Any other heap string is simply freed.
void recycle_log_line(char *line);

// Physical lines consumed so far; every "line %lu" message reports it.
extern unsigned long line_number;

// Forgets everything the reader and the entry parsers hold between calls
// (read-ahead bytes, a held-back line, the memory-dump flag) and the line
// count.  For tests that parse several inputs in one process.
void reset_log_reading();

// Test hooks; reset_log_reading restores both defaults.  Each read request
// asks for at most `bytes` bytes (0: a whole block), so tests can move the
// block edges.  A logical line longer than `length` bytes is refused (0: the
// longest string a replay file can hold, 0x7FFFFFFF bytes).
void set_log_read_size(size_t bytes);
void set_max_log_line_length(size_t length);
