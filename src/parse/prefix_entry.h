// The fields of a stderr log entry whose lines begin with the server's own
// log_line_prefix (-P) rather than "%m|%u|%d|%c|".  The entry loop itself
// (memory dumps, details, held-back lines) is the stderr parser's.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>

#include "line_prefix.h"
#include "log_entry.h"

// Matches a line where an entry must begin (or a DETAIL may); false, with
// the error naming the line, when it does not begin with the prefix.
bool match_prefixed_line(const char *line, size_t length, prefix_match *match);

enum class window_place { before, inside, after };

// Where the line's time falls in the -b/-e window.
window_place prefixed_window_place(const char *line, const prefix_match &match);

// Converts and copies the fields of a matched first line, cuts the level
// word in place and points *message at the message.  False after a
// reported error.
bool take_prefixed_fields(char *line, const prefix_match &match, struct timeval *time, char *user,
                          char *database, uint64_t *session_id, log_type *type, char **message);

// Seconds since the epoch with milliseconds, as %n writes them, for the
// -b/-e window: the window's local times converted once.
long long window_epoch_ms(const char *timestamp);
