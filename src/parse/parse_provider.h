// Internals of the parse provider that tests reach.
#pragma once

// Forgets every session, queued item, count and the end of the input, so
// that another log can be parsed in the same process.  The line reader keeps
// its own state (reset_log_reading).
void reset_parse_provider();
