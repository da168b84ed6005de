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
