// The scan of a simple statement text before it is replayed.
#pragma once

#include "session_tracking.h"

// Scans text (one or more statements separated by semicolons) in place:
// blanks out COPY and SET client_encoding statements, which cannot be
// replayed, forgets the session's prepared statements that a DEALLOCATE
// drops, and counts the statements.  False after a reported error (a
// literal, identifier, dollar quote or comment left open); what was done to
// earlier statements of the text stays done.
bool filter_bad_statements(char *text, connection_entry *session);

// True when text, past white space and comments, is a COPY statement.
bool is_copy_statement(const char *text);
