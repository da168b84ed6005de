#include "prefix_entry.h"

#include <cstring>
#include <ctime>

#include "entry_fields.h"
#include "log_reader.h"
#include "parse_state.h"
#include "quillrun/messages.h"

namespace {

constexpr size_t stamp_length = 23;          // "YYYY-MM-DD HH:MM:SS.mmm"
constexpr size_t second_stamp_length = 19;   // without ".mmm"
// Seconds since the epoch fit in 12 digits for the next 30000 years.
constexpr size_t max_epoch_digits = 12;

// The %m or %t text as a time stamp with milliseconds (".000" for %t) and
// its zone, NUL-terminated.  `buffer` holds 64 bytes: the matcher admits
// zones of up to 32 characters.
void stamp_text(const char *line, const text_span &time, prefix_escape escape, char *buffer) {
    const char *text = line + time.start;
    if (escape == prefix_escape::time_ms) {
        memcpy(buffer, text, time.length);
        buffer[time.length] = '\0';
        return;
    }
    memcpy(buffer, text, second_stamp_length);
    memcpy(buffer + second_stamp_length, ".000", 4);
    memcpy(buffer + stamp_length, text + second_stamp_length, time.length - second_stamp_length);
    buffer[stamp_length + time.length - second_stamp_length] = '\0';
}

// %n: "SECONDS.mmm".
bool epoch_of(const char *line, const text_span &time, long long *seconds, long *milliseconds) {
    const char *text = line + time.start;
    size_t digits = time.length - 4;
    if (digits > max_epoch_digits) {
        print_error("Error parsing line %lu: time stamp \"%.*s\" is out of range\n",
                    log_line_number(), static_cast<int>(time.length), text);
        return false;
    }
    long long value = 0;
    for (size_t i = 0; i < digits; ++i) value = value * 10 + (text[i] - '0');
    *seconds = value;
    *milliseconds = (text[digits + 1] - '0') * 100 + (text[digits + 2] - '0') * 10 +
                    (text[digits + 3] - '0');
    return true;
}

bool convert_time(const line_prefix &prefix, const char *line, const text_span &span,
                  struct timeval *time) {
    if (prefix.time_escape == prefix_escape::time_epoch) {
        long long seconds;
        long milliseconds;
        if (!epoch_of(line, span, &seconds, &milliseconds)) return false;
        // The base is a real instant, so the result is the time that really
        // passed, as for stamps that name the zone they were written in.
        time->tv_sec = static_cast<time_t>(seconds) - parse_unit_state().setup.log_time_base;
        time->tv_usec = milliseconds * 1000;
        return true;
    }
    char stamp[64];
    stamp_text(line, span, prefix.time_escape, stamp);
    return convert_timestamp(stamp, time);
}

// The %c session id, or the process id that stands for the session (also
// for a process without a session whose prefix stopped at a %q before
// the %c).
bool session_key(const char *line, const prefix_match &match, uint64_t *key) {
    if (match.session_id.present) {
        char text[24];  // the matcher admits two runs of at most 8 digits
        memcpy(text, line + match.session_id.start, match.session_id.length);
        text[match.session_id.length] = '\0';
        return convert_session_id(text, key);
    }
    uint64_t pid = 0;
    for (size_t i = 0; i < match.process_id.length; ++i) {
        pid = pid * 10 + static_cast<uint64_t>(line[match.process_id.start + i] - '0');
        if (pid > 0xffffffff) {
            print_error("Error parsing line %lu: process id is out of range\n", log_line_number());
            return false;
        }
    }
    *key = pid;  // 0 when the prefix stopped before both
    return true;
}

// "[unknown]", written for a session not yet authenticated, is no name.
size_t name_length(const char *line, const text_span &span) {
    size_t unknown_length = sizeof unknown_name - 1;
    if (span.length == unknown_length && memcmp(line + span.start, unknown_name, unknown_length) == 0)
        return 0;
    return span.length;
}

}  // namespace

bool match_prefixed_line(const char *line, size_t length, prefix_match *match) {
    const line_prefix &prefix = parse_unit_state().setup.prefix;
    if (match_line_prefix(prefix, line, length, match)) return true;
    print_error("Error parsing line %lu: line does not match log_line_prefix \"%s\"\n",
                log_line_number(), prefix.text);
    return false;
}

window_place prefixed_window_place(const char *line, const prefix_match &match) {
    const parse_setup &setup = parse_unit_state().setup;
    if (setup.begin_timestamp == nullptr && setup.end_timestamp == nullptr)
        return window_place::inside;
    if (setup.prefix.time_escape == prefix_escape::time_epoch) {
        long long seconds;
        long milliseconds;
        // A malformed time is reported when the entry is read.
        if (!epoch_of(line, match.time, &seconds, &milliseconds)) return window_place::inside;
        long long at = seconds * 1000 + milliseconds;
        if (setup.begin_timestamp != nullptr && at < setup.begin_epoch_ms)
            return window_place::before;
        if (setup.end_timestamp != nullptr && at > setup.end_epoch_ms) return window_place::after;
        return window_place::inside;
    }
    // Local times, compared as text like the window of the default prefix.
    char stamp[64];
    stamp_text(line, match.time, setup.prefix.time_escape, stamp);
    if (line_before_window(stamp)) return window_place::before;
    if (line_after_window(stamp)) return window_place::after;
    return window_place::inside;
}

bool take_prefixed_fields(char *line, const prefix_match &match, struct timeval *time, char *user,
                          char *database, uint64_t *session_id, log_type *type, char **message) {
    parse_state &state = parse_unit_state();
    const line_prefix &prefix = state.setup.prefix;
    if (!convert_time(prefix, line, match.time, time)) return false;
    uint64_t key;
    if (!session_key(line, match, &key)) return false;
    user[0] = '\0';
    database[0] = '\0';
    if (match.user.present &&
        !copy_user_name(line + match.user.start, name_length(line, match.user), user))
        return false;
    if (match.database.present &&
        !copy_database_name(line + match.database.start, name_length(line, match.database),
                            database))
        return false;
    line[match.level_end] = '\0';
    *type = parse_log_type(line + match.level_start);
    *message = line + match.level_end + 3;  // after ":  "
    return attribute_prefixed_entry(prefix, state.prefix_sessions, key, *type, *message,
                                    session_id, user, database);
}

long long window_epoch_ms(const char *timestamp) {
    struct tm local = {};
    local.tm_year = (timestamp[0] - '0') * 1000 + (timestamp[1] - '0') * 100 +
                    (timestamp[2] - '0') * 10 + (timestamp[3] - '0') - 1900;
    local.tm_mon = (timestamp[5] - '0') * 10 + (timestamp[6] - '0') - 1;
    local.tm_mday = (timestamp[8] - '0') * 10 + (timestamp[9] - '0');
    local.tm_hour = (timestamp[11] - '0') * 10 + (timestamp[12] - '0');
    local.tm_min = (timestamp[14] - '0') * 10 + (timestamp[15] - '0');
    local.tm_sec = (timestamp[17] - '0') * 10 + (timestamp[18] - '0');
    local.tm_isdst = -1;  // the window is a wall-clock reading: whichever applies then
    long long milliseconds = (timestamp[20] - '0') * 100 + (timestamp[21] - '0') * 10 +
                             (timestamp[22] - '0');
    return static_cast<long long>(mktime(&local)) * 1000 + milliseconds;
}
