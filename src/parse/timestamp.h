// What the conversions of log time stamps and session ids keep between
// calls (their declarations are public: include/quillrun/parse.h).
#pragma once

#include <ctime>

constexpr size_t conversion_error_size = 1024;
constexpr size_t timestamp_minute_length = 16;  // "YYYY-MM-DD HH:MM"

// mktime is by far the most expensive step, and consecutive log entries
// nearly always fall into the same minute.  With the daylight-saving flag
// given, the conversion is linear in the seconds of a minute (zones change
// their offsets on whole minutes), so caching the start of the minute for
// that flag gives results identical to converting every stamp.
struct minute_cache {
    bool valid = false;
    char key[timestamp_minute_length];  // already checked against the template
    int daylight = 0;                   // the daylight-saving flag it was converted with
    time_t start = 0;                   // mktime of that minute at second 0
};

struct timestamp_conversion {
    // The returned error texts, valid until the next call of the same
    // converter.
    char timestamp_error[conversion_error_size] = "";
    char session_id_error[conversion_error_size] = "";
    struct tm working_time = {};
    minute_cache cache;
};
