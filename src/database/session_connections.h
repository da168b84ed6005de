// One libpq connection per replayed session, driven only through libpq's
// asynchronous interface: every step first learns from poll that the
// socket is ready, so no step waits for the server.
#pragma once

#include <cstdint>

#include "database/database_state.h"
#include "quillrun/replay_item.h"

struct poll_report {
    bool failed = false;                   // a message has been printed
    session_connection *record = nullptr;  // the asked-for session's record, if any
    bool quiet = true;                     // no record is busy after the pass
};

// Advances every busy record by at most one step, in list order, after one
// poll (time-out zero) over all busy sockets, then the lock monitor.  Right
// after wait_for_progress the records already know what their sockets are
// ready for, and no poll is made.  Stops at the first failure.
poll_report poll_connections(database_state &state, uint64_t session_id);

// Blocks until a busy socket (or the lock monitor's) is ready or the
// time-out has passed (rounded up to whole milliseconds; the kernel may end
// it a few milliseconds later, see timer_slack.h), and leaves what it found
// with the records for the next pass.  Returns at once when nothing is
// busy.  False after a message when poll fails.
bool wait_for_progress(database_state &state, int64_t timeout_microseconds);

// Each returns true on success and prints its own message on failure.
// early: opened ahead of the session's connect item, which the scheduler
// still has to reach (see count_connection).
bool open_connection(database_state &state, const replay_item *item, bool early = false);
// Counts an established connection as open from now on.  Done when it is
// established, or for a connection opened early when its connect item is
// reached.  False after a message when the clock cannot be read.
bool count_connection(database_state &state, session_connection *record);
bool close_connection(database_state &state, session_connection *record);  // idle or closed
// Removes a record that counts in no statistic (one opened ahead of time
// that is to connect again), finishing its connection if it has one.
void discard_record(database_state &state, session_connection *record);
bool send_request(database_state &state, session_connection *record, const replay_item *item);
bool send_cancel(session_connection *record);  // idle or waiting

// Cancels every request in flight and closes every session's connection,
// counting those that count as closed now; for a replay that is
// interrupted.
void end_every_session(database_state &state);

// False when the server has ended an idle connection (it may have, for
// example, after idle_session_timeout), which would fail its next request.
bool still_connected(session_connection *record);

// Which statistics counter a request of this duration falls into.
int histogram_bucket(time_value duration);
