#include "line_prefix.h"

#include <cstdint>
#include <cstring>

#include "quillrun/messages.h"

namespace {

struct escape_letter {
    char letter;
    prefix_escape escape;
};

const escape_letter escape_letters[] = {
    {'m', prefix_escape::time_ms},      {'t', prefix_escape::time_s},
    {'n', prefix_escape::time_epoch},   {'s', prefix_escape::session_start},
    {'c', prefix_escape::session_id},   {'p', prefix_escape::process_id},
    {'P', prefix_escape::leader_id},    {'l', prefix_escape::line_count},
    {'e', prefix_escape::sqlstate},     {'x', prefix_escape::xid},
    {'v', prefix_escape::vxid},         {'Q', prefix_escape::query_id},
    {'u', prefix_escape::user},         {'d', prefix_escape::database},
    {'a', prefix_escape::application},  {'h', prefix_escape::host},
    {'r', prefix_escape::remote},       {'i', prefix_escape::command_tag},
    {'b', prefix_escape::backend_type}, {'q', prefix_escape::session_only},
};

bool find_escape(char letter, prefix_escape *escape) {
    for (const escape_letter &known : escape_letters) {
        if (known.letter == letter) {
            *escape = known.escape;
            return true;
        }
    }
    return false;
}

// Fields whose values have no form of their own (names, host names, the
// command tag): they run up to the literal text after them.
bool is_variable(prefix_escape escape) {
    switch (escape) {
    case prefix_escape::user:
    case prefix_escape::database:
    case prefix_escape::application:
    case prefix_escape::host:
    case prefix_escape::remote:
    case prefix_escape::command_tag:
    case prefix_escape::backend_type: return true;
    default: return false;
    }
}

void append_literal(line_prefix &prefix, size_t &literal_used, char c) {
    if (prefix.part_count == 0 ||
        prefix.parts[prefix.part_count - 1].escape != prefix_escape::literal) {
        prefix_part &part = prefix.parts[prefix.part_count++];
        part = prefix_part{};
        part.literal_start = static_cast<uint16_t>(literal_used);
    }
    prefix.literal_text[literal_used++] = c;
    ++prefix.parts[prefix.part_count - 1].literal_length;
}

// Reads the padding of "%-10u" from text (after the "%"); returns the
// position of the letter.
const char *read_padding(const char *text, int *padding) {
    bool left = *text == '-';
    if (left) ++text;
    int width = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        if (width < 100000) width = width * 10 + (*text - '0');
    *padding = left ? -width : width;
    return text;
}

bool split_prefix(const char *text, line_prefix &prefix) {
    size_t literal_used = 0;
    for (const char *cursor = text; *cursor != '\0'; ++cursor) {
        if (*cursor != '%') {
            append_literal(prefix, literal_used, *cursor);
            continue;
        }
        if (cursor[1] == '%') {
            append_literal(prefix, literal_used, '%');
            ++cursor;
            continue;
        }
        int padding = 0;
        const char *letter = read_padding(cursor + 1, &padding);
        if (*letter == '\0') {
            print_error("Error in log_line_prefix \"%s\": incomplete escape at the end\n", text);
            return false;
        }
        prefix_part part;
        if (!find_escape(*letter, &part.escape)) {
            print_error("Error in log_line_prefix \"%s\": unknown escape \"%%%c\"\n", text,
                        *letter);
            return false;
        }
        part.padding = padding;
        prefix.parts[prefix.part_count++] = part;
        cursor = letter;
    }
    return true;
}

char letter_of(prefix_escape escape) {
    for (const escape_letter &known : escape_letters)
        if (known.escape == escape) return known.letter;
    return '?';
}

bool has_escape(const line_prefix &prefix, prefix_escape escape) {
    for (int i = 0; i < prefix.part_count; ++i)
        if (prefix.parts[i].escape == escape) return true;
    return false;
}

// Processes without a session write nothing after a %q, so only a time
// before it is on every line.
bool has_escape_before_stop(const line_prefix &prefix, prefix_escape escape) {
    for (int i = 0; i < prefix.part_count; ++i) {
        if (prefix.parts[i].escape == prefix_escape::session_only) return false;
        if (prefix.parts[i].escape == escape) return true;
    }
    return false;
}

// A variable field is told from what follows by the literal text after it.
bool check_variable_fields(const char *text, const line_prefix &prefix) {
    for (int i = 0; i < prefix.part_count; ++i) {
        if (!is_variable(prefix.parts[i].escape)) continue;
        if (i + 1 == prefix.part_count || prefix.parts[i + 1].escape != prefix_escape::literal) {
            print_error("Error in log_line_prefix \"%s\": %%%c must be followed by literal text\n",
                        text, letter_of(prefix.parts[i].escape));
            return false;
        }
    }
    return true;
}

bool choose_fields(const char *text, line_prefix &prefix) {
    const prefix_escape by_preference[] = {prefix_escape::time_ms, prefix_escape::time_epoch,
                                           prefix_escape::time_s};
    for (prefix_escape escape : by_preference) {
        if (has_escape_before_stop(prefix, escape)) {
            prefix.time_escape = escape;
            break;
        }
    }
    if (prefix.time_escape == prefix_escape::literal) {
        print_error("Error in log_line_prefix \"%s\": no time stamp (%%m, %%t or %%n)%s\n", text,
                    has_escape(prefix, prefix_escape::session_only) ? " before %q" : "");
        return false;
    }
    prefix.has_session_id = has_escape(prefix, prefix_escape::session_id);
    if (!prefix.has_session_id && !has_escape(prefix, prefix_escape::process_id)) {
        print_error("Error in log_line_prefix \"%s\": no session id or process id (%%c or %%p)\n",
                    text);
        return false;
    }
    prefix.has_user = has_escape(prefix, prefix_escape::user);
    prefix.has_database = has_escape(prefix, prefix_escape::database);
    return true;
}

// --- Matching ---

constexpr size_t no_match = SIZE_MAX;
// Tries of a variable field's end before a line counts as not matching,
// so that a line of another program cannot make the search explode.
constexpr int match_budget = 256;
// Zone abbreviations are short ("UTC", "CEST", "+0530").
constexpr size_t max_zone_length = 32;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_lower_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f'); }
bool is_zone_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || is_digit(c) || c == '+' ||
           c == '-';
}

struct line_view {
    const char *text;
    size_t length;
    char at(size_t i) const { return i < length ? text[i] : '\0'; }
};

// The predicate is a template argument so that the loop inlines it.
template <bool (*accept)(char)>
size_t run_of(const line_view &line, size_t at, size_t most = no_match) {
    size_t end = at;
    while (end - at < most && end < line.length && accept(line.text[end])) ++end;
    return end - at;
}

// "nnnn-nn-nn nn:nn:nn" (and ".nnn" with milliseconds), then " ZONE".
// Runs on every line: the positions are checked without a template.
size_t stamp_length(const line_view &line, size_t at, bool milliseconds) {
    size_t length = milliseconds ? 23 : 19;
    if (at + length + 2 > line.length) return no_match;
    const char *t = line.text + at;
    static constexpr size_t digit_at[] = {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18};
    for (size_t i : digit_at)
        if (!is_digit(t[i])) return no_match;
    if (t[4] != '-' || t[7] != '-' || t[10] != ' ' || t[13] != ':' || t[16] != ':')
        return no_match;
    if (milliseconds && (t[19] != '.' || !is_digit(t[20]) || !is_digit(t[21]) || !is_digit(t[22])))
        return no_match;
    if (t[length] != ' ') return no_match;
    size_t zone = run_of<is_zone_char>(line, at + length + 1, max_zone_length + 1);
    if (zone == 0 || zone > max_zone_length) return no_match;
    return length + 1 + zone;
}

// Two runs of 1 to 8 lower-case hexadecimal digits joined by ".".
size_t session_id_length(const line_view &line, size_t at) {
    size_t high = run_of<is_lower_hex>(line, at, 9);
    if (high == 0 || high > 8 || line.at(at + high) != '.') return no_match;
    size_t low = run_of<is_lower_hex>(line, at + high + 1, 9);
    if (low == 0 || low > 8) return no_match;
    return high + 1 + low;
}

size_t epoch_length(const line_view &line, size_t at) {
    size_t seconds = run_of<is_digit>(line, at);
    if (seconds == 0 || line.at(at + seconds) != '.') return no_match;
    if (run_of<is_digit>(line, at + seconds + 1) != 3) return no_match;
    return seconds + 4;
}

size_t vxid_length(const line_view &line, size_t at) {
    size_t backend = run_of<is_digit>(line, at);
    if (backend == 0) return 0;  // a process without a virtual transaction
    if (line.at(at + backend) != '/') return no_match;
    size_t local = run_of<is_digit>(line, at + backend + 1);
    return local == 0 ? no_match : backend + 1 + local;
}

bool is_sqlstate_char(char c) { return is_digit(c) || (c >= 'A' && c <= 'Z'); }

// The length of a fixed-form field's value at `at`, or no_match.
size_t fixed_length(prefix_escape escape, const line_view &line, size_t at) {
    switch (escape) {
    case prefix_escape::time_ms: return stamp_length(line, at, true);
    case prefix_escape::time_s:
    case prefix_escape::session_start: return stamp_length(line, at, false);
    case prefix_escape::time_epoch: return epoch_length(line, at);
    case prefix_escape::session_id: return session_id_length(line, at);
    case prefix_escape::process_id:
    case prefix_escape::line_count:
    case prefix_escape::xid: {
        size_t digits = run_of<is_digit>(line, at);
        return digits == 0 ? no_match : digits;
    }
    case prefix_escape::leader_id: return run_of<is_digit>(line, at);
    case prefix_escape::sqlstate:
        return run_of<is_sqlstate_char>(line, at, 5) == 5 ? 5 : no_match;
    case prefix_escape::vxid: return vxid_length(line, at);
    case prefix_escape::query_id: {
        size_t sign = line.at(at) == '-' ? 1 : 0;
        size_t digits = run_of<is_digit>(line, at + sign);
        return digits == 0 ? no_match : sign + digits;
    }
    default: return no_match;
    }
}

size_t width_of(const prefix_part &part) {
    return static_cast<size_t>(part.padding < 0 ? -part.padding : part.padding);
}

struct matcher {
    const line_prefix &prefix;
    line_view line;
    prefix_match &match;
    int budget = match_budget;

    bool parts_from(int index, size_t at);
    bool level_at(size_t at);
    bool fixed_part(int index, size_t at);
    bool variable_part(int index, size_t at);
    void record(prefix_escape escape, size_t start, size_t length);
};

// A level word (no blank, no colon) and ":  ".
bool matcher::level_at(size_t at) {
    size_t end = at;
    while (end < line.length && line.text[end] != ' ' && line.text[end] != ':' &&
           line.text[end] != '\n')
        ++end;
    if (end == at || line.at(end) != ':' || line.at(end + 1) != ' ' || line.at(end + 2) != ' ')
        return false;
    match.level_start = at;
    match.level_end = end;
    return true;
}

void matcher::record(prefix_escape escape, size_t start, size_t length) {
    text_span span{start, length, true};
    if (escape == prefix.time_escape) match.time = span;
    switch (escape) {
    case prefix_escape::session_id: match.session_id = span; break;
    case prefix_escape::process_id: match.process_id = span; break;
    case prefix_escape::user: match.user = span; break;
    case prefix_escape::database: match.database = span; break;
    default: break;
    }
}

bool matcher::fixed_part(int index, size_t at) {
    const prefix_part &part = prefix.parts[index];
    size_t start = at;
    // Right-aligned: blanks first.  No value begins with a blank.
    if (part.padding > 0)
        while (line.at(start) == ' ') ++start;
    size_t length = fixed_length(part.escape, line, start);
    if (length == no_match) return false;
    size_t end = start + length;
    // Left-aligned: blanks after the value up to the field's width.
    if (part.padding < 0)
        while (end - at < width_of(part) && line.at(end) == ' ') ++end;
    if (!parts_from(index + 1, end)) return false;
    record(part.escape, start, length);
    return true;
}

// The value runs up to an occurrence of the literal text after it: the
// first one that lets the rest of the line match, so a name with that text
// in it is still cut right when the rest tells.  A padded field is at
// least as wide as its padding, so the literal is looked for after it.
bool matcher::variable_part(int index, size_t at) {
    const prefix_part &part = prefix.parts[index];
    const prefix_part &next = prefix.parts[index + 1];
    const char *literal = prefix.literal_text + next.literal_start;
    size_t search = at + width_of(part);
    // The prefix stands on the first physical line.
    for (; search + next.literal_length <= line.length; ++search) {
        char c = line.text[search];
        if (c == '\n') return false;
        if (c != literal[0] ||
            memcmp(line.text + search + 1, literal + 1, next.literal_length - 1) != 0)
            continue;
        if (--budget < 0) return false;
        size_t end = search;
        if (parts_from(index + 1, end)) {
            size_t start = at;
            if (part.padding != 0) {
                while (start < end && line.text[start] == ' ') ++start;
                while (end > start && line.text[end - 1] == ' ') --end;
            }
            record(part.escape, start, end - start);
            return true;
        }
    }
    return false;
}

// Fields are recorded as the match unwinds, so a failed try leaves none
// behind.
bool matcher::parts_from(int index, size_t at) {
    if (index == prefix.part_count) return level_at(at);
    const prefix_part &part = prefix.parts[index];
    switch (part.escape) {
    case prefix_escape::literal: {
        if (at + part.literal_length > line.length) return false;
        const char *literal = prefix.literal_text + part.literal_start;
        for (size_t i = 0; i < part.literal_length; ++i)
            if (line.text[at + i] != literal[i]) return false;
        return parts_from(index + 1, at + part.literal_length);
    }
    case prefix_escape::session_only:
        // Background processes write nothing from here on.
        return parts_from(index + 1, at) || level_at(at);
    default:
        return is_variable(part.escape) ? variable_part(index, at) : fixed_part(index, at);
    }
}

}  // namespace

bool compile_line_prefix(const char *text, line_prefix *prefix) {
    *prefix = line_prefix{};
    size_t length = strlen(text);
    if (length > max_line_prefix_length) {
        print_error("Error: log_line_prefix is longer than %d characters\n",
                    static_cast<int>(max_line_prefix_length));
        return false;
    }
    memcpy(prefix->text, text, length + 1);
    if (!split_prefix(text, *prefix) || !check_variable_fields(text, *prefix) ||
        !choose_fields(text, *prefix)) {
        *prefix = line_prefix{};
        return false;
    }
    prefix->active = true;
    return true;
}

bool match_line_prefix(const line_prefix &prefix, const char *line, size_t length,
                       prefix_match *match) {
    *match = prefix_match{};
    match->line_length = length;
    matcher run{prefix, line_view{line, length}, *match};
    return run.parts_from(0, 0);
}
