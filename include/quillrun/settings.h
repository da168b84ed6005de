// Process-wide settings.  The command line and the driver write them during
// start-up; afterwards the units only read them (stats_stream is cleared by
// the driver when a run fails).
#pragma once

#include <cstdio>

extern int debug_level;              // -d, 0 to 3
extern int backslash_quote;          // -q
extern int skip_idle;                // -j
extern const char *extra_connstr;    // -X, or null
extern FILE *stats_stream;           // where finish operations print; null after a failure
// Set by a finish operation that fails after the driver has decided the
// outcome (the last buffered records cannot be written, the last queued
// statements cannot be sent): the run must still end with status 1.
extern int finish_failed;
