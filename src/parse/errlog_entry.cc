#include "errlog_entry.h"

#include <cstdlib>
#include <cstring>

#include "entry_fields.h"
#include "log_reader.h"
#include "parse_state.h"
#include "prefix_entry.h"
#include "quillrun/messages.h"
#include "text.h"

namespace {

constexpr char prefix_separator = '|';
constexpr char level_end[] = ":  ";
constexpr char detail_prefix[] = "DETAIL:  ";
// A server that runs out of memory writes its memory contexts straight to
// its stderr, without a prefix: this first line, indented lines, and a
// closing total.
constexpr char memory_dump_start[] = "TopMemoryContext: ";
constexpr char memory_dump_end[] = "Grand total: ";

line_layout find_separators(const char *line, size_t length) {
    line_layout layout;
    layout.length = length;
    const char *const end = line + layout.length;
    const char *cursor = line;
    for (; layout.found < prefix_separators; ++layout.found) {
        auto separator = static_cast<const char *>(
            memchr(cursor, prefix_separator, static_cast<size_t>(end - cursor)));
        if (separator == nullptr) break;
        layout.separator[layout.found] = static_cast<size_t>(separator - line);
        cursor = separator + 1;
    }
    return layout;
}

// True for a line of a memory dump, which is dropped.
bool is_memory_dump_line(errlog_parser &parser, const char *line) {
    if (starts_with(line, memory_dump_start)) {
        print_error("Found memory dump in line %lu\n", log_line_number());
        parser.in_memory_dump = true;
        return true;
    }
    return parser.in_memory_dump && (line[0] == ' ' || starts_with(line, memory_dump_end));
}

// The server starts every further line of a message with a tab, so an
// empty line never belongs to an entry: it is the output of some other
// program that shares the server's standard error.
void skip_empty_line() { print_debug(2, "Skipped empty line %lu\n", log_line_number()); }

enum class search { found, end, error };

void report_missing_separator(int found) {
    switch (found) {
    case 0:
        print_error("Error parsing line %lu: no \"%c\" found - log_line_prefix may be wrong\n",
                    log_line_number(), prefix_separator);
        break;
    case 1:
        print_error("Error parsing line %lu: second \"%c\" not found - log_line_prefix may be wrong\n",
                    log_line_number(), prefix_separator);
        break;
    case 2:
        print_error("Error parsing line %lu: third \"%c\" not found - log_line_prefix may be wrong\n",
                    log_line_number(), prefix_separator);
        break;
    default:
        print_error("Error parsing line %lu: fourth \"%c\" not found - log_line_prefix may be wrong\n",
                    log_line_number(), prefix_separator);
        break;
    }
}

struct prefix_fields {
    char *field[prefix_separators];  // time stamp, user, database, session id
    size_t length[prefix_separators];
    char *level;
    char *message;
};

// The level word ends at the first ":  " after the prefix.  Level words
// are a few letters long, too short to pay for a library call.
char *find_level_end(char *text) {
    for (; *text != '\0'; ++text)
        if (text[0] == ':' && text[1] == ' ' && text[2] == ' ') return text;
    return nullptr;
}

// Cuts the line in place at its first four separators and at the end of
// the level word.
bool cut_entry_line(char *line, const line_layout &layout, prefix_fields &fields) {
    if (layout.found < prefix_separators) {
        report_missing_separator(layout.found);
        return false;
    }
    char *cursor = line;
    for (int i = 0; i < prefix_separators; ++i) {
        char *separator = line + layout.separator[i];
        *separator = '\0';
        fields.field[i] = cursor;
        fields.length[i] = static_cast<size_t>(separator - cursor);
        cursor = separator + 1;
    }
    char *level_stop = find_level_end(cursor);
    if (level_stop == nullptr) {
        print_error("Error parsing line %lu: log message does not begin with a log type\n",
                    log_line_number());
        return false;
    }
    *level_stop = '\0';
    fields.level = cursor;
    fields.message = level_stop + strlen(level_end);
    return true;
}

// Moves the end of the line from `text` on to the start of the line.
void move_to_start(char *line, size_t length, const char *text) {
    memmove(line, text, length - static_cast<size_t>(text - line) + 1);
}

// How the entry loop reads the prefix of a line: the default prefix
// "%m|%u|%d|%c|", cut at its separators, and the server's own (-P), matched
// part by part.  Each says where a line's prefix ends, where it lies in the
// window, and reads an entry's fields.
enum class screened { entry, before_window, after_window, error };

struct default_prefix {
    using layout = line_layout;

    static layout &held_back(errlog_parser &parser) { return parser.held_back_layout; }

    // A line where an entry begins.  The window is applied to its first 23
    // bytes before anything else, so lines outside it cannot cause errors.
    static screened screen(const char *line, size_t length, layout &found) {
        if (line_before_window(line)) return screened::before_window;
        if (line_after_window(line)) return screened::after_window;
        found = find_separators(line, length);
        return screened::entry;
    }

    static bool after_window(const char *line, const layout &) { return line_after_window(line); }

    // The text after the prefix of the line after an entry; null after a
    // reported error.
    static const char *rest_after_prefix(const char *line, size_t length, layout &found) {
        found = find_separators(line, length);
        if (found.found < prefix_separators) {
            print_error("Error parsing line %lu: only %d \"%c\" found - log_line_prefix may be wrong\n",
                        log_line_number(), found.found, prefix_separator);
            return nullptr;
        }
        return line + found.separator[prefix_separators - 1] + 1;
    }

    static bool take_fields(char *line, const layout &found, struct timeval *time, char *user,
                            char *database, uint64_t *session_id, log_type *type,
                            char **message) {
        prefix_fields fields;
        if (!cut_entry_line(line, found, fields)) return false;
        if (!convert_timestamp(fields.field[0], time)) return false;
        if (!copy_user_name(fields.field[1], fields.length[1], user)) return false;
        if (!copy_database_name(fields.field[2], fields.length[2], database)) return false;
        if (!convert_session_id(fields.field[3], session_id)) return false;
        *type = parse_log_type(fields.level);
        *message = fields.message;
        return true;
    }
    static size_t length_of(const layout &found) { return found.length; }
};

struct server_prefix {
    using layout = prefix_match;

    static layout &held_back(errlog_parser &parser) { return parser.held_back_match; }

    // The window needs the time the prefix carries, so the line must match.
    static screened screen(const char *line, size_t length, layout &found) {
        if (!match_prefixed_line(line, length, &found)) return screened::error;
        switch (prefixed_window_place(line, found)) {
        case window_place::before: return screened::before_window;
        case window_place::after: return screened::after_window;
        case window_place::inside: break;
        }
        return screened::entry;
    }

    static const char *rest_after_prefix(const char *line, size_t length, layout &found) {
        if (!match_prefixed_line(line, length, &found)) return nullptr;
        return line + found.level_start;
    }
    static bool after_window(const char *line, const layout &found) {
        return prefixed_window_place(line, found) == window_place::after;
    }
    static bool take_fields(char *line, const layout &found, struct timeval *time, char *user,
                            char *database, uint64_t *session_id, log_type *type,
                            char **message) {
        return take_prefixed_fields(line, found, time, user, database, session_id, type, message);
    }
    static size_t length_of(const layout &found) { return found.line_length; }
};

// Finds the first line of the next entry within the time window.
template <class prefix>
search find_entry_line(parse_state &state, owned_line &line, typename prefix::layout &layout) {
    errlog_parser &parser = state.errlog;
    if (parser.held_back_line != nullptr) {
        // Already checked as a possible detail; only the window's end applies.
        line.reset(parser.held_back_line);
        parser.held_back_line = nullptr;
        layout = prefix::held_back(parser);
        state.entry_line = parser.held_back_line_start;
        return prefix::after_window(line.get(), layout) ? search::end : search::found;
    }
    for (;;) {
        size_t length;
        line.reset(read_log_line(&length));
        if (!line) return search::error;
        if (is_memory_dump_line(parser, line.get())) continue;
        if (line.get()[0] == '\0') {
            if (log_input_exhausted()) return search::end;
            skip_empty_line();
            continue;
        }
        screened outcome = prefix::screen(line.get(), length, layout);
        if (outcome == screened::error) return search::error;
        if (outcome == screened::before_window) continue;
        if (outcome == screened::after_window) return search::end;
        state.entry_line = state.reader.returned_line_start;
        return search::found;
    }
}

// Reads the line after an entry: its DETAIL becomes *detail; any other line
// is held back for the next call.
template <class prefix>
bool take_detail(errlog_parser &parser, char **detail) {
    for (;;) {
        size_t length;
        owned_line line(read_log_line(&length));
        if (!line) return false;
        if (is_memory_dump_line(parser, line.get())) continue;
        if (line.get()[0] == '\0') {
            if (log_input_exhausted()) {
                parser.input_ended = true;
                return true;
            }
            skip_empty_line();
            continue;
        }
        typename prefix::layout layout;
        const char *rest = prefix::rest_after_prefix(line.get(), length, layout);
        if (rest == nullptr) return false;
        if (starts_with(rest, detail_prefix)) {
            print_debug(2, "Found a DETAIL message\n");
            move_to_start(line.get(), prefix::length_of(layout), rest + strlen(detail_prefix));
            *detail = line.release();
        } else {
            parser.held_back_line = line.release();
            prefix::held_back(parser) = layout;
            parser.held_back_line_start = parse_unit_state().reader.returned_line_start;
        }
        return true;
    }
}

template <class prefix>
int read_entry(parse_state &state, struct timeval *time, char *user, char *database,
               uint64_t *session_id, log_type *type, char **message, char **detail) {
    errlog_parser &parser = state.errlog;
    owned_line line;
    typename prefix::layout layout;
    switch (find_entry_line<prefix>(state, line, layout)) {
    case search::error: return -1;
    case search::end:
        parser.input_ended = true;
        trace_leave("parse_errlog_entry");
        return 0;
    case search::found: break;
    }

    char *text;
    if (!prefix::take_fields(line.get(), layout, time, user, database, session_id, type, &text))
        return -1;
    move_to_start(line.get(), prefix::length_of(layout), text);

    if (!take_detail<prefix>(parser, detail)) return -1;
    *message = line.release();
    trace_leave("parse_errlog_entry");
    return 1;
}

}  // namespace

int parse_errlog_entry(struct timeval *time, char *user, char *database, uint64_t *session_id,
                       log_type *type, char **message, char **detail) {
    trace_enter("parse_errlog_entry");
    parse_state &state = parse_unit_state();
    *message = nullptr;
    *detail = nullptr;
    if (state.errlog.input_ended) {
        trace_leave("parse_errlog_entry");
        return 0;
    }
    if (state.setup.prefix.active)
        return read_entry<server_prefix>(state, time, user, database, session_id, type, message,
                                         detail);
    return read_entry<default_prefix>(state, time, user, database, session_id, type, message,
                                      detail);
}


void release_errlog_parser(errlog_parser &parser) {
    free(parser.held_back_line);
    parser.held_back_line = nullptr;
}
