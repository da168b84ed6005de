// A server's log_line_prefix (-P), compiled once into a list of parts, and
// the matching of a stderr log line against it.  The matcher finds where
// the fields that a replay needs lie on the line (time, session or process
// id, user, database) and where "LEVEL:  message" begins; it allocates
// nothing and leaves the line unchanged.
#pragma once

#include <cstddef>
#include <cstdint>

// What one part of a prefix writes.
enum class prefix_escape : uint8_t {
    literal,        // text written as it is (and %%)
    time_ms,        // %m "2024-05-01 10:00:00.123 UTC"
    time_s,         // %t "2024-05-01 10:00:00 UTC"
    time_epoch,     // %n "1714557600.123"
    session_start,  // %s, written like %t
    session_id,     // %c "663213a0.1c4d"
    process_id,     // %p
    leader_id,      // %P, empty outside a parallel group
    line_count,     // %l
    sqlstate,       // %e, five characters
    xid,            // %x
    vxid,           // %v "3/17", empty for processes without one
    query_id,       // %Q, signed
    user,           // %u
    database,       // %d
    application,    // %a
    host,           // %h
    remote,         // %r "host(port)"
    command_tag,    // %i
    backend_type,   // %b
    session_only,   // %q: processes without a session end their prefix here
};

struct prefix_part {
    prefix_escape escape = prefix_escape::literal;
    // As written between "%" and the letter: the field is padded with
    // blanks to this width, on the right when it is negative.
    int padding = 0;
    // Literal parts: their text in line_prefix::literal_text.
    uint16_t literal_start = 0;
    uint16_t literal_length = 0;
};

constexpr size_t max_line_prefix_length = 1023;

struct line_prefix {
    bool active = false;  // -P was given
    char text[max_line_prefix_length + 1] = "";  // as given, for messages
    char literal_text[max_line_prefix_length + 1] = "";
    prefix_part parts[max_line_prefix_length];
    int part_count = 0;
    // The time escape the entries' times come from (%m before %n before
    // %t, of those before any %q), and which fields the prefix carries.
    prefix_escape time_escape = prefix_escape::literal;
    bool has_session_id = false;
    bool has_user = false;
    bool has_database = false;
};

// Compiles text into *prefix.  False, with the error printed, for a prefix
// that cannot be parsed by (an unknown or unfinished escape, a variable
// field without literal text after it) or that lacks a time escape or a
// way to tell sessions apart.
bool compile_line_prefix(const char *text, line_prefix *prefix);

// A field's place on the line.
struct text_span {
    size_t start = 0;
    size_t length = 0;
    bool present = false;
};

// Where the fields of a line that matched lie.
struct prefix_match {
    size_t line_length = 0;
    size_t level_start = 0;  // the level word, followed by ":  "
    size_t level_end = 0;    // its ":  "
    text_span time;          // the text of the prefix's time escape
    text_span session_id;
    text_span process_id;
    text_span user;
    text_span database;
};

// Matches the start of the line against the prefix, followed by a level
// word (no blank, no colon) and ":  ".  False when the line does not begin
// with the prefix: a line of another program, or a prefix other than the
// server's.
bool match_line_prefix(const line_prefix &prefix, const char *line, size_t length,
                       prefix_match *match);

// The user and database names that the server writes for a session not
// yet authenticated; they stand for no name.
constexpr char unknown_name[] = "[unknown]";
