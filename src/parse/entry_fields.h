// The checks that every entry parser applies alike to the fields of an
// entry: the -b/-e window, the names, the time stamp and the session id.
// Each prints its error naming the current log line.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>

// The -b/-e window, applied to the first 23 bytes of an entry's first line.
bool line_before_window(const char *line);
bool line_after_window(const char *line);

// Copy a name field of `length` bytes (not necessarily followed by a NUL)
// into the caller's buffer of
// max_name_length + 1 bytes; false, with the error printed, when the field
// is too long.
bool copy_user_name(const char *field, size_t length, char *user);
bool copy_database_name(const char *field, size_t length, char *database);

// Converters of the entry's time stamp and session id; false, with the
// error printed, when the text is malformed.
bool convert_timestamp(const char *field, struct timeval *time);
bool convert_session_id(const char *field, uint64_t *session_id);
