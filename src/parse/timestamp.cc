// Conversion of log time stamps and session ids.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "parse_setup.h"
#include "quillrun/parse.h"

namespace {

constexpr size_t timestamp_length = 23;
constexpr size_t max_text_length = 1023;
const char timestamp_template[] = "nnnn-nn-nn nn:nn:nn.nnn";

char timestamp_error[1024];
char session_id_error[1024];
struct tm working_time;

// mktime is by far the most expensive step, and consecutive log entries
// nearly always fall into the same minute.  With the daylight-saving flag
// fixed at 0 the conversion is linear in the seconds, so caching the start
// of the minute gives results identical to converting every stamp.
constexpr size_t minute_length = 16;  // "YYYY-MM-DD HH:MM"
struct minute_cache {
    bool valid = false;
    char key[minute_length];  // already checked against the template
    time_t start;             // mktime of that minute at second 0
} cache;

int digits(const char *text, int count) {
    int value = 0;
    for (int i = 0; i < count; ++i) value = value * 10 + (text[i] - '0');
    return value;
}

// Checks text[from, 23) against the template; the first mismatch decides.
const char *check_template(const char *text, size_t from = 0) {
    for (size_t i = from; i < timestamp_length; ++i) {
        char expected = timestamp_template[i];
        if (expected == 'n') {
            if (text[i] < '0' || text[i] > '9') {
                snprintf(timestamp_error, sizeof timestamp_error,
                         "character %d in timestamp string is '%c', expected digit",
                         static_cast<int>(i + 1), text[i]);
                return timestamp_error;
            }
        } else if (text[i] != expected) {
            snprintf(timestamp_error, sizeof timestamp_error,
                     "character %d in timestamp string is '%c', expected '%c'",
                     static_cast<int>(i + 1), text[i], expected);
            return timestamp_error;
        }
    }
    return nullptr;
}

bool in_cached_minute(const char *text) {
    return cache.valid && memcmp(cache.key, text, minute_length) == 0;
}

time_t minute_start(const char *text) {
    if (in_cached_minute(text)) return cache.start;
    working_time.tm_year = digits(text, 4) - 1900;
    working_time.tm_mon = digits(text + 5, 2) - 1;
    working_time.tm_mday = digits(text + 8, 2);
    working_time.tm_hour = digits(text + 11, 2);
    working_time.tm_min = digits(text + 14, 2);
    working_time.tm_sec = 0;
    working_time.tm_isdst = 0;
    cache.start = mktime(&working_time);
    memcpy(cache.key, text, sizeof cache.key);
    cache.valid = true;
    return cache.start;
}

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

uint64_t hex_digit_value(char c) { return static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10); }

const char *session_id_too_long() {
    snprintf(session_id_error, sizeof session_id_error,
             "session id string is more than %d characters long",
             static_cast<int>(max_text_length));
    return session_id_error;
}

}  // namespace

void reset_timestamp_cache() { cache.valid = false; }

const char *parse_timestamp(const char *text, struct timeval *result) {
    if (text == nullptr) return "NULL passed as timestamp string";
    size_t length = strnlen(text, max_text_length + 1);
    if (length < timestamp_length) {
        snprintf(timestamp_error, sizeof timestamp_error,
                 "timestamp string is less than %lu characters long",
                 static_cast<unsigned long>(timestamp_length));
        return timestamp_error;
    }
    if (length > max_text_length) {
        snprintf(timestamp_error, sizeof timestamp_error,
                 "timestamp string is more than %d characters long",
                 static_cast<int>(max_text_length));
        return timestamp_error;
    }
    // The cached minute was checked when it was converted.
    size_t unchecked = result != nullptr && in_cached_minute(text) ? minute_length : 0;
    if (const char *error = check_template(text, unchecked)) return error;
    if (result == nullptr) return nullptr;

    result->tv_sec = minute_start(text) + digits(text + 17, 2) - parse_settings.log_time_base;
    result->tv_usec = digits(text + 20, 3) * 1000;
    return nullptr;
}

const char *parse_session_id(const char *text, uint64_t *result) {
    if (text == nullptr) return "NULL passed as session id string";
    // One pass checks the characters and reads both runs; a character error
    // found on the way yields only to the length error.
    uint64_t runs[2] = {0, 0};
    size_t run_length[2] = {0, 0};
    int run = 0;
    for (size_t i = 0; text[i] != '\0'; ++i) {
        char c = text[i];
        if (i == max_text_length) return session_id_too_long();
        if (c == '.' && run == 0) {
            run = 1;
        } else if (!is_hex_digit(c)) {
            if (i + strnlen(text + i, max_text_length + 1 - i) > max_text_length)
                return session_id_too_long();
            snprintf(session_id_error, sizeof session_id_error,
                     "character %d in session id string is '%c', expected hex digit",
                     static_cast<int>(i + 1), c);
            return session_id_error;
        } else {
            runs[run] = runs[run] * 16 + hex_digit_value(c);
            ++run_length[run];
        }
    }
    if (run == 0) return "Missing \".\" in session id string";
    if (run_length[0] > 8 || run_length[1] > 8)
        return "none of the parts of a session id string may be longer than 8 hex digits";
    // The server always writes both runs; an empty one means the log line is damaged.
    if (run_length[0] == 0 || run_length[1] == 0)
        return "none of the parts of a session id string may be empty";
    *result = runs[0] << 32 | runs[1];
    return nullptr;
}
