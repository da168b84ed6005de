// The libpq connection text: options shared by all sessions, and each
// session's own user and database.  Values are enclosed in single quotes
// with a backslash before every ' and \, which is libpq's quoting.
#pragma once

#include <cstddef>

// Bytes that value takes once escaped (without quotes or terminator).
size_t escaped_length(const char *value);

// The shared options: "port=N", " host='...'", " password='...'" and a blank
// plus the extra options unchanged, each only when given (port -1 and null
// strings mean not given).  A new string the caller frees, or null after a
// message has been printed.
char *build_connect_string(const char *host, int port, const char *password,
                           const char *extra_options);

// The connect string as debug output shows it: as build_connect_string
// makes it, with *** for the password and for every password inside the
// extra options, so that a secret never reaches a terminal or a log.  A new
// string the caller frees, or null after a message has been printed.
char *build_shown_connect_string(const char *host, int port, const char *password,
                                 const char *extra_options);

// connect_string followed by " user='...' dbname='...'".  A new string the
// caller frees, or null after "Cannot allocate ..." has been printed.
char *build_session_conninfo(const char *connect_string, const char *user,
                             const char *database);
