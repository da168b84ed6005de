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
// poll (time-out zero) over all busy sockets.  Stops at the first failure.
poll_report poll_connections(database_state &state, uint64_t session_id);

// Blocks until a busy socket is ready or the time-out has passed (rounded
// up to whole milliseconds; the kernel may end it a few milliseconds later,
// see timer_slack.h).  Returns at once when nothing is busy.  False after a
// message when poll fails.
bool wait_for_progress(database_state &state, int64_t timeout_microseconds);

// Each returns true on success and prints its own message on failure.
bool open_connection(database_state &state, const replay_item *item);
bool close_connection(database_state &state, session_connection *record);  // idle or closed
bool send_request(database_state &state, session_connection *record, const replay_item *item);
bool send_cancel(session_connection *record);  // idle or waiting

// Which statistics counter a request of this duration falls into.
int histogram_bucket(time_value duration);
