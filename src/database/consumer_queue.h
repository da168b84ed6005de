// Items that fell due while their session was busy wait in per-session
// queues (see database_consumer.cc); the replay is complete only once they
// have all been sent.
#pragma once

#include "database/database_state.h"

// Polls and runs queued items until none is left.  False after a failure,
// with its message printed.
bool drain_pending_items(database_state &state);
