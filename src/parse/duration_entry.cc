#include "duration_entry.h"

#include <cstring>

#include "log_reader.h"
#include "quillrun/messages.h"
#include "text.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The server writes "%.3f": digits, a point and three more.  Fewer or more
// fraction digits are read too (more are cut to the microsecond); anything
// else is not a duration.  Reads by hand: strtod would follow the locale
// and take signs, exponents and "inf".
bool read_milliseconds(const char *&text, int64_t &microseconds) {
    if (!is_digit(*text)) return false;
    int64_t whole = 0;
    for (; is_digit(*text); ++text) {
        whole = whole * 10 + (*text - '0');
        if (whole > max_entry_duration_us / 1000) return false;
    }
    int64_t fraction = 0;
    if (*text == '.') {
        ++text;
        if (!is_digit(*text)) return false;
        int64_t scale = 100;
        for (; is_digit(*text); ++text, scale /= 10) fraction += (*text - '0') * scale;
    }
    microseconds = whole * 1000 + fraction;
    return microseconds <= max_entry_duration_us;
}

}  // namespace

bool parse_duration_entry(char *message, duration_entry &entry) {
    const char *text = message + strlen("duration: ");
    entry = duration_entry{};
    if (!read_milliseconds(text, entry.microseconds) || !starts_with(text, " ms")) {
        print_error("Error: malformed duration entry in line %lu\n", log_line_number());
        return false;
    }
    text += strlen(" ms");
    if (*text == '\0') return true;
    if (!starts_with(text, "  ") || text[2] == '\0') {
        print_error("Error: malformed duration entry in line %lu\n", log_line_number());
        return false;
    }
    entry.rest = message + (text + 2 - message);
    return true;
}
