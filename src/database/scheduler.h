// The replay's scheduler: decides when each item goes to the server.
//
// Items are sent in log order.  The consumer takes items into a window (the
// stream) as the provider offers them, bounded by count, by bytes and by
// time (about a second of replay time beyond the first item not yet sent),
// and sends from its front: an item goes when it is due, its session can
// take it, and every earlier item has gone.  A session that is merely slow
// on the target (a long statement, a slow connection set-up, a lock held
// outside the replay) holds the stream until it is free, as the recording's
// order demands; the lag shows it.
//
// The one exception keeps the replay from hanging: a session whose
// statement waits for a lock that another session of the replay holds is
// parked, by the server's word (pg_blocking_pids through the lock monitor),
// once it has held the stream for a moment.  A parked session's items wait
// in its own queue and run in order as soon as it is free, while the rest
// of the stream goes on.  Without an answer from the server, a session that
// has held the stream for a stall limit is parked with a warning.
//
// Connections are started ahead of their recorded time (a few at a time,
// bounded by count and by the number the recording had open), so that a
// session is ready when its first statement is due; they count in the
// statistics from their recorded moment on.
#pragma once

#include "database/database_state.h"
#include "quillrun/replay_item.h"

// The consumer operation (see pipeline.h): 1 when the item was taken into
// the stream (the scheduler owns it then, also if a later call fails), 0
// when it cannot be taken yet (after waiting, bounded, for something to
// change), -1 after a failure whose message is printed.
int scheduler_take(database_state &state, replay_item *item);

// Sends everything still in the stream and in the parked sessions' queues,
// waiting for the sessions to take it.  False after a failure (message
// printed).
bool scheduler_complete(database_state &state);

// Releases the items the stream and the queues still hold, and the lock
// monitor; the session records stay.
void scheduler_release(database_state &state);
