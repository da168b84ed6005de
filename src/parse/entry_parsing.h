// Pieces that the line reader and the two entry parsers share inside the
// parse unit.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "log_entry.h"

struct line_recycler {
    void operator()(char *text) const { recycle_log_line(text); }
};
// A line from read_log_line, recycled unless handed on.
using owned_line = std::unique_ptr<char, line_recycler>;

// Each part forgets what it keeps between calls; reset_log_reading calls all.
void reset_line_reader();
void reset_errlog_parser();
void reset_csvlog_parser();

// The -b/-e window, applied to the first 23 bytes of an entry's first line.
bool line_before_window(const char *line);
bool line_after_window(const char *line);

// Copy a name field of `length` bytes into the caller's buffer of
// max_name_length + 1 bytes; false, with the error printed, when the field
// is too long.
bool copy_user_name(const char *field, size_t length, char *user);
bool copy_database_name(const char *field, size_t length, char *database);

// Converters of the entry's time stamp and session id; false, with the
// error printed, when the text is malformed.
bool convert_timestamp(const char *field, struct timeval *time);
bool convert_session_id(const char *field, uint64_t *session_id);
