// The replay statistics: what a replay or a dry run counted, printed as the
// "Replay statistics" block.  Printing only; the counting happens in the
// scheduler, the session connections and the dry run.
#pragma once

#include <cstdio>

#include "database/database_state.h"

// The block of a replay; stop_time must be set.
void print_replay_report(const database_state &state, FILE *out);
// The block of a dry run.
void print_dry_run_report(const database_state &state, FILE *out);
