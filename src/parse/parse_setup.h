// Set-up of the parse unit: written once by parse_provider_init, read by
// the rest of the unit.
#pragma once

#include <ctime>

#include "line_prefix.h"

struct parse_setup {
    int input_fd = 0;                         // 0 is standard input; -1 after a failed open
    int csv_mode = 0;                         // 1 for a CSV log
    int json_mode = 0;                        // 1 for a jsonlog log, whatever csv_mode says
    const char *begin_timestamp = nullptr;    // -b window start (23 characters), or null
    const char *end_timestamp = nullptr;      // -e window end, or null
    const char *database_filter = nullptr;    // -D list "\a\b\", or null
    const char *username_filter = nullptr;    // -U list, or null
    time_t log_time_base = 0;                 // 2000-01-01 00:00:00 local time, no DST
    // The server's log_line_prefix (-P); inactive for "%m|%u|%d|%c|".
    line_prefix prefix;
    // The window in milliseconds since the epoch, for a prefix whose time
    // is %n.
    long long begin_epoch_ms = 0;
    long long end_epoch_ms = 0;
};

// The formats of a server log, numbered as the entry parsers of the
// provider's table.
enum log_format { stderr_format = 0, csv_format = 1, json_format = 2 };

inline log_format format_of(const parse_setup &setup) {
    if (setup.json_mode) return json_format;
    return setup.csv_mode ? csv_format : stderr_format;
}
