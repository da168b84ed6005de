// The state of the database replay, shared by the set-up, the scheduler,
// the session connections, the dry run and the statistics.  One instance
// lives for the whole run; everything in it is zero, empty or none at start.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>

#include "database/lock_monitor.h"
#include "database/replay_counters.h"
#include "database/session_list.h"
#include "database/time_value.h"

constexpr int lag_warning_count = 11;

// An item taken from the provider and not yet sent.
struct window_entry {
    replay_item *item;
    size_t bytes;  // what it holds, for the bound on the window
};

// The items taken ahead of the one that is due, in log order: a ring of
// entries.  Items leave it only from the front, when they are sent or move
// to a parked session's queue.
struct stream_window {
    window_entry *entries = nullptr;
    size_t capacity = 0;  // a power of two, or 0
    size_t front = 0;     // index of the oldest entry
    size_t count = 0;
    size_t bytes = 0;
    // Entries from the front that have been looked at for connections to
    // open ahead of time.
    size_t connects_scanned = 0;
};

// Who holds up the stream: the session whose item is at the front and due
// but cannot be sent yet.
struct stream_hold {
    uint64_t session_id = 0;
    bool active = false;
    time_value since;
    time_value next_check;     // when to ask the server (or give up waiting)
    int64_t check_interval = 0;  // microseconds until the check after next
};

struct database_state {
    time_value start_time;        // set-up; the schedule counts from it
    double speed_factor = 1.0;
    char *connect_string = nullptr;
    // How long a session's connection may take to be established; 0: no
    // limit (connect_timeout=0).
    int64_t connect_timeout_microseconds = 0;
    session_list connection_list;
    time_value stop_time;
    time_value first_item_time;
    time_value last_item_time;    // of the latest item taken
    time_value skipped_time;      // idle time skipped with -j
    bool consumer_saw_first_item = false;
    bool dry_run_saw_first_item = false;
    bool lag_warned[lag_warning_count] = {};

    replay_counters counters;

    // The scheduler's stream of items in log order, and the parked
    // sessions that have queued items, with what all their queues hold.
    stream_window window;
    stream_hold hold;
    session_connection *pending_sessions = nullptr;
    size_t pending_count = 0;
    size_t pending_bytes = 0;
    // Sessions the recording had open at the front of the stream (connects
    // minus disconnects that have left the window), and how many records
    // were opened ahead of their connect item and still wait for it.
    uint64_t recorded_open = 0;
    uint64_t early_open = 0;
    // After the target refused a connection for want of room, none is
    // opened ahead of time until then.
    time_value no_early_connections_until;

    // The connection that asks the server which sessions block which, and
    // its connection text (that of the first session connected).
    lock_monitor monitor;
    char *monitor_conninfo = nullptr;

    // Scratch space for the poll over the busy sockets, grown as needed:
    // the descriptors, and the record each belongs to (null for the lock
    // monitor's).
    struct pollfd *poll_set = nullptr;
    session_connection **poll_records = nullptr;
    size_t poll_set_capacity = 0;
    // The records' readiness was found by a wait that has just ended, so
    // the next pass steps them without polling again.
    bool readiness_from_wait = false;
};

database_state &replay_state();

// Finishes every connection still open and returns the state to what it
// was at program start.  A run reports open connections rather than
// closing them; this is for running several replays in one process.
void reset_replay_state();
