// Conversion of log time stamps and session ids.
#include <cstdint>
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

// Session ids are written with lower-case digits only.
struct hex_digit_table {
    int8_t value[256];
    constexpr hex_digit_table() : value() {
        for (int c = 0; c < 256; ++c) value[c] = -1;
        for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<int8_t>(c - '0');
        for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<int8_t>(c - 'a' + 10);
    }
};
constexpr hex_digit_table hex_digits;

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
    // One pass reads both runs up to the end or the first character that
    // does not belong, which is then reported unless the length error
    // comes first.
    uint64_t value = 0;
    uint64_t high_run = 0;
    const char *dot = nullptr;
    const char *end = text;
    for (;; ++end) {
        int digit = hex_digits.value[static_cast<unsigned char>(*end)];
        if (digit >= 0) {
            value = value * 16 + static_cast<uint64_t>(digit);
        } else if (*end == '.' && dot == nullptr) {
            dot = end;
            high_run = value;
            value = 0;
        } else {
            break;
        }
    }
    size_t checked = static_cast<size_t>(end - text);
    if (checked + strnlen(end, max_text_length + 1) > max_text_length) {
        snprintf(session_id_error, sizeof session_id_error,
                 "session id string is more than %d characters long",
                 static_cast<int>(max_text_length));
        return session_id_error;
    }
    if (*end != '\0') {
        snprintf(session_id_error, sizeof session_id_error,
                 "character %d in session id string is '%c', expected hex digit",
                 static_cast<int>(checked + 1), *end);
        return session_id_error;
    }
    if (dot == nullptr) return "Missing \".\" in session id string";
    size_t high_length = static_cast<size_t>(dot - text);
    size_t low_length = static_cast<size_t>(end - dot) - 1;
    if (high_length > 8 || low_length > 8)
        return "none of the parts of a session id string may be longer than 8 hex digits";
    // The server always writes both runs; an empty one means the log line is damaged.
    if (high_length == 0 || low_length == 0)
        return "none of the parts of a session id string may be empty";
    *result = high_run << 32 | value;
    return nullptr;
}
