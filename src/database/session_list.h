// The records of the replayed sessions: a list from the newest session to
// the oldest, which fixes the order in which connections are visited (and
// so the order of their debug messages), plus an index by session id so
// that finding a session's record does not walk the list.
#pragma once

#include <libpq-fe.h>

#include <cstddef>
#include <cstdint>

#include "database/time_value.h"
#include "quillrun/report.h"
#include "quillrun/replay_item.h"

enum connection_state {
    conn_idle = 0,           // connected; nothing in flight
    conn_connect_write = 1,  // being established; waits until the socket takes output
    conn_connect_read = 2,   // being established; waits for input on the socket
    conn_flushing = 3,       // a request is handed to libpq; not all of it is sent yet
    conn_waiting = 4,        // the request is sent; its results are awaited
    conn_closed = 5,         // refused by the server with a FATAL error; connection finished
    conn_lost = 6,           // ended by the server during the replay; its later items are skipped
    conn_retry = 7,          // refused while early connections held the target's slots;
                             // connects again shortly
};

// Busy connections have work in flight and are polled; idle, closed and
// lost ones are quiet.
inline bool is_busy(connection_state state) {
    return state != conn_idle && state != conn_closed && state != conn_lost;
}

// An item of a parked session (see scheduler.h), waiting in the session's
// queue for the session to take it.
struct pending_item {
    replay_item *item;
    time_value target;  // when it fell due; its lag counts from there
    size_t bytes;       // what it holds, for the bound on queued items
    pending_item *next;
};

struct session_connection {
    uint64_t session_id;
    PGconn *connection;         // null once finished
    int socket;                 // re-read after every connection step
    connection_state state;
    // What the last poll found for this record's socket; used and cleared by
    // the next step of the record, so it never outlives the state it was
    // polled for.
    short revents;
    int backend_pid;            // the server process, once connected
    time_value connected_at;    // counted from here in the statistics
    time_value connect_deadline;  // when connecting gives up; zero: never
    time_value statement_started_at;
    replay_type request_type;   // of the request in flight
    bool request_failed;        // a result of the request in flight was an error
    char *fatal_message;        // the server's text, in conn_closed only
    char *conninfo;             // the connection text, for connecting again
    time_value retry_at;        // in conn_retry: when to connect again
    bool retried;               // connected again once already
    session_connection *next;   // towards older sessions
    session_connection *previous;

    // Opened ahead of its connect item, which has not reached the front of
    // the stream yet; it counts in no statistic until it has.
    bool opened_early;
    // Counted as an open connection (established, and its connect item
    // reached); only such connections count when they close.
    bool counted;
    // Refused with a FATAL error while opened early: tried again when its
    // connect item comes due, since the target may have been full then.
    bool refused_early;

    // Parked: waits for a lock that another session of the replay holds
    // (or, without a way to ask the server, has held up the stream too
    // long), so its items wait in its own queue and the stream goes on.
    bool parked;
    uint64_t blocker_session_id;  // who holds the lock; 0 when not known
    pending_item *pending_head;   // this session's queued items, oldest first
    pending_item *pending_tail;
    size_t pending_bytes;
    session_connection *next_pending;  // in the list of sessions with queued items
    report_session *report;     // the report's view of the request in flight
};

struct session_list {
    session_connection *head = nullptr;
    size_t count = 0;
    // Open addressing with linear probing; null slots are empty.
    session_connection **slots = nullptr;
    size_t capacity = 0;  // a power of two, or 0
};

// Makes room in the index for one more record, so that session_list_add
// cannot fail.  False after "Cannot allocate ..." has been printed.
bool session_list_reserve(session_list &list);
// Puts record at the front.  Needs a successful session_list_reserve first.
void session_list_add(session_list &list, session_connection *record);
void session_list_remove(session_list &list, session_connection *record);
session_connection *session_list_find(const session_list &list, uint64_t session_id);
// Releases the index only; the records are the caller's.
void session_list_release_index(session_list &list);
