// pgbench's tables as a recorded workload leaves them, for comparing the end
// state of a recording with that of its replays.
#pragma once

#include <string>

#include "support/pg_server.h"

// The sums and counts that a pgbench run changes.
extern const char pgbench_end_state_query[];

// Creates pgbench's tables at scale 1 without logging their creation, so
// that a recording starts from them and a target can be brought to the
// same state.  Throws when pgbench fails.
void initialise_pgbench(const pg_server &server);
