// Sessions of a log written with a log_line_prefix that lacks the session
// id (%c), the user (%u) or the database (%d).  Without %c a session is
// told by its process id (%p), and begins anew at the process's connection
// entries, since the server reuses process ids.  Without %u or %d the
// names come from the session's "connection authorized: user=...
// database=..." entry; entries before it have empty names.
#pragma once

#include <cstdint>

#include "line_prefix.h"
#include "log_entry.h"

struct process_session {
    uint64_t key;         // the %c session id, or the process id
    uint64_t session_id;  // what its entries carry
    process_session *next;
    // A "connection received" came, its "connection authorized" not yet.
    bool awaiting_authorization;
    char user[max_name_length + 1];
    char database[max_name_length + 1];
};

constexpr unsigned process_buckets = 1024;

// Owns its entries.  A session is forgotten at its disconnection.
struct process_sessions {
    process_session *buckets[process_buckets] = {};
    // Numbers the sessions told by process id, so a reused one gets a new id.
    uint32_t sessions_started = 0;
};

// The session id of an entry whose prefix gave `key` (the %c session id,
// or the process id without %c), and its user and database when the
// prefix does not carry them.  False after a reported error.
bool attribute_prefixed_entry(const line_prefix &prefix, process_sessions &sessions, uint64_t key,
                              log_type type, const char *message, uint64_t *session_id,
                              char *user, char *database);

void release_process_sessions(process_sessions &sessions);
