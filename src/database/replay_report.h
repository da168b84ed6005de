// Hands the replay statistics to the per-statement report (-R) when the run
// ends.
#pragma once

#include "database/database_state.h"
#include "quillrun/report.h"

// Writes the report, if one was asked for, with the statistics of the
// replay or dry run (stop_time must be set) and how the run ended.  False
// after a message when the report could not be written.
bool write_replay_report(const database_state &state, int dry_run, report_outcome outcome);
