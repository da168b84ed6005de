// The log parser: reads a PostgreSQL server log (stderr or CSV format) and
// provides its events as replay items.
#pragma once

#include <sys/time.h>

#include <cstdint>

#include "quillrun/replay_item.h"

// Provider operations (see pipeline.h for the contract).
int parse_provider_init(const char *infile, int csv, const char *begin_timestamp,
                        const char *end_timestamp, const char *database_filter,
                        const char *username_filter);
replay_item *parse_provider();
void parse_provider_finish();

// Stderr logs are read by the server's log_line_prefix (-P) instead of
// "%m|%u|%d|%c|".  Both print the error for a prefix that cannot be read
// by and return false; the first only checks, the second (called before
// parse_provider_init) makes the parse use the prefix.
bool check_log_line_prefix(const char *prefix);
bool parse_set_log_line_prefix(const char *prefix);

// Converts a log time stamp ("YYYY-MM-DD HH:MM:SS.mmm", anything after the
// 23rd character ignored) into seconds since 2000-01-01 00:00:00 local time
// and microseconds.  Returns null on success, otherwise an error text that
// stays valid until the next call.  With a null result the text is only
// validated.
const char *parse_timestamp(const char *text, struct timeval *result);

// Converts a session id ("hex.hex", each run at most 8 digits) into a 64-bit
// number, the first run in the high half.  Returns null on success,
// otherwise an error text valid until the next call; *result is untouched on
// failure.
const char *parse_session_id(const char *text, uint64_t *result);

// How far the parse is through the log (the status line).
struct input_progress;
void parse_progress(input_progress *progress);
