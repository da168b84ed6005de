#include "timestamp.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "parse_state.h"
#include "quillrun/parse.h"

namespace {

constexpr size_t timestamp_length = 23;
constexpr size_t max_text_length = 1023;
const char timestamp_template[] = "nnnn-nn-nn nn:nn:nn.nnn";

int digits(const char *text, int count) {
    int value = 0;
    for (int i = 0; i < count; ++i) value = value * 10 + (text[i] - '0');
    return value;
}

// Checks text[from, 23) against the template; the first mismatch decides.
const char *check_template(timestamp_conversion &conversion, const char *text, size_t from = 0) {
    for (size_t i = from; i < timestamp_length; ++i) {
        char expected = timestamp_template[i];
        if (expected == 'n') {
            if (text[i] < '0' || text[i] > '9') {
                snprintf(conversion.timestamp_error, sizeof conversion.timestamp_error,
                         "character %d in timestamp string is '%c', expected digit",
                         static_cast<int>(i + 1), text[i]);
                return conversion.timestamp_error;
            }
        } else if (text[i] != expected) {
            snprintf(conversion.timestamp_error, sizeof conversion.timestamp_error,
                     "character %d in timestamp string is '%c', expected '%c'",
                     static_cast<int>(i + 1), text[i], expected);
            return conversion.timestamp_error;
        }
    }
    return nullptr;
}

bool in_cached_minute(const minute_cache &cache, const char *text) {
    return cache.valid && memcmp(cache.key, text, timestamp_minute_length) == 0;
}

// The daylight-saving flag for the conversion of a stamp.  The server
// writes its zone's name after the stamp ("01:59:59.999 CET", then
// "03:00:00.000 CEST"), and that name says on which side of a change the
// stamp lies, which the wall-clock reading alone cannot tell.  A stamp
// that names the local zone's daylight-saving time is converted as such;
// any other (the standard name, another zone, none) as standard time, so
// that a log of another zone still converts evenly.
int daylight_flag(const char *text) {
    if (text[timestamp_length] != ' ') return 0;
    const char *zone = text + timestamp_length + 1;
    return strcmp(tzname[0], tzname[1]) != 0 && strcmp(zone, tzname[1]) == 0 ? 1 : 0;
}

time_t minute_start(timestamp_conversion &conversion, const char *text, int daylight) {
    minute_cache &cache = conversion.cache;
    if (in_cached_minute(cache, text) && cache.daylight == daylight) return cache.start;
    struct tm &working_time = conversion.working_time;
    working_time.tm_year = digits(text, 4) - 1900;
    working_time.tm_mon = digits(text + 5, 2) - 1;
    working_time.tm_mday = digits(text + 8, 2);
    working_time.tm_hour = digits(text + 11, 2);
    working_time.tm_min = digits(text + 14, 2);
    working_time.tm_sec = 0;
    working_time.tm_isdst = daylight;
    cache.start = mktime(&working_time);
    cache.daylight = daylight;
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

const char *parse_timestamp(const char *text, struct timeval *result) {
    if (text == nullptr) return "NULL passed as timestamp string";
    parse_state &state = parse_unit_state();
    timestamp_conversion &conversion = state.timestamps;
    size_t length = strnlen(text, max_text_length + 1);
    if (length < timestamp_length) {
        snprintf(conversion.timestamp_error, sizeof conversion.timestamp_error,
                 "timestamp string is less than %lu characters long",
                 static_cast<unsigned long>(timestamp_length));
        return conversion.timestamp_error;
    }
    if (length > max_text_length) {
        snprintf(conversion.timestamp_error, sizeof conversion.timestamp_error,
                 "timestamp string is more than %d characters long",
                 static_cast<int>(max_text_length));
        return conversion.timestamp_error;
    }
    // The cached minute was checked when it was converted.
    size_t unchecked =
        result != nullptr && in_cached_minute(conversion.cache, text) ? timestamp_minute_length : 0;
    if (const char *error = check_template(conversion, text, unchecked)) return error;
    if (result == nullptr) return nullptr;

    result->tv_sec = minute_start(conversion, text, daylight_flag(text)) + digits(text + 17, 2) -
                     state.setup.log_time_base;
    result->tv_usec = digits(text + 20, 3) * 1000;
    return nullptr;
}

const char *parse_session_id(const char *text, uint64_t *result) {
    if (text == nullptr) return "NULL passed as session id string";
    char(&session_id_error)[conversion_error_size] = parse_unit_state().timestamps.session_id_error;
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
