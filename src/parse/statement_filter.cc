#include "statement_filter.h"

#include <strings.h>

#include <cctype>
#include <cstdint>
#include <cstring>

#include "log_reader.h"
#include "parse_state.h"
#include "quillrun/messages.h"
#include "quillrun/settings.h"
#include "text.h"

namespace {

constexpr int stored_words = 3;
constexpr size_t max_word_length = 64;

// The first words of the statement being scanned; enough to recognise the
// statements that need attention.
struct statement_words {
    int count;
    char word[stored_words][max_word_length + 1];

    statement_words() { clear(); }
    void clear() {
        count = 0;
        for (auto &w : word) w[0] = '\0';
    }
    bool is(int index, const char *text) const { return same_text(word[index], text); }
};

// What a byte can mean to the scanner, as bit flags.
enum : uint8_t {
    starts_word = 1,     // ASCII letters, '_', bytes of 128 and up
    continues_word = 2,  // those, digits and '$'
    // Ends a statement, or may open a literal, an identifier, a dollar
    // quote or a comment.  E and e only when a quote follows.
    may_be_special = 4,
};

struct byte_class_table {
    uint8_t flags[256];
    constexpr byte_class_table() : flags() {
        for (int c = 0; c < 256; ++c) {
            bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            if (letter || c == '_' || c >= 128) flags[c] |= starts_word | continues_word;
            if ((c >= '0' && c <= '9') || c == '$') flags[c] |= continues_word;
        }
        for (unsigned char c : "\0;\"$'Ee-/") flags[c] |= may_be_special;
    }
};
constexpr byte_class_table byte_classes;

bool has_class(char c, uint8_t flag) {
    return (byte_classes.flags[static_cast<unsigned char>(c)] & flag) != 0;
}
bool is_word_start(char c) { return has_class(c, starts_word); }

// The first byte from text on that has (or lacks) one of the flags.  The
// scanner's hot loops run here, on a local pointer that stores into the
// text cannot disturb.
char *find_class(char *text, uint8_t flags) {
    while (!has_class(*text, flags)) ++text;
    return text;
}
char *skip_class(char *text, uint8_t flags) {
    while (has_class(*text, flags)) ++text;
    return text;
}

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

class statement_scanner {
public:
    statement_scanner(char *text, connection_entry *session)
        : cursor_(text), statement_start_(text), session_(session) {}

    bool run() {
        for (;;) {
            // Blanks, digits and operators, much of any statement, are
            // passed over without further tests.
            cursor_ = find_class(cursor_, starts_word | may_be_special);
            char c = *cursor_;
            if (c == '\0' || c == ';') {
                end_statement();
                if (c == '\0') return true;
                words_.clear();
                statement_start_ = ++cursor_;
            } else if (c == '"') {
                if (!read_quoted_identifier()) return false;
            } else if (c == '$') {
                if (!skip_dollar()) return false;
            } else if (c == '\'') {
                if (!skip_string_literal(backslash_quote != 0)) return false;
            } else if ((c == 'E' || c == 'e') && cursor_[1] == '\'') {
                ++cursor_;
                if (!skip_string_literal(true)) return false;
            } else if (c == '-' && cursor_[1] == '-') {
                skip_line_comment();
            } else if (c == '/' && cursor_[1] == '*') {
                if (!skip_block_comment()) return false;
            } else if (is_word_start(c)) {
                read_word();
            } else {
                ++cursor_;
            }
        }
    }

private:
    char *cursor_;
    char *statement_start_;
    connection_entry *session_;
    statement_words words_;

    // Where the next word goes, or null when three are stored already.
    char *next_word_slot() {
        return words_.count < stored_words ? words_.word[words_.count] : nullptr;
    }

    void read_word() {
        char *slot = next_word_slot();
        ++words_.count;
        char *end = skip_class(cursor_, continues_word);
        if (slot != nullptr) {
            size_t length = static_cast<size_t>(end - cursor_);
            if (length > max_word_length) length = max_word_length;
            for (size_t i = 0; i < length; ++i) slot[i] = fold(cursor_[i]);
            slot[length] = '\0';
        }
        cursor_ = end;
    }

    // A quoted identifier is a word too, kept as written.
    bool read_quoted_identifier() {
        char *slot = next_word_slot();
        size_t length = 0;
        ++cursor_;
        for (;;) {
            char c = *cursor_;
            if (c == '\0') {
                print_error("Error: quoted identifier not closed in line %lu\n", log_line_number());
                return false;
            }
            if (c == '"') {
                if (cursor_[1] != '"') break;
                ++cursor_;  // a doubled quote stands for one
            }
            if (slot != nullptr && length < max_word_length) slot[length++] = c;
            ++cursor_;
        }
        ++cursor_;
        if (slot != nullptr) slot[length] = '\0';
        ++words_.count;
        return true;
    }

    bool skip_dollar() {
        if (cursor_[1] >= '0' && cursor_[1] <= '9') {  // a parameter such as $1
            ++cursor_;
            return true;
        }
        const char *tag_end = strchr(cursor_ + 1, '$');
        if (tag_end == nullptr) {
            print_error("Error: end of dollar quote not found in line %lu\n", log_line_number());
            return false;
        }
        size_t tag_length = static_cast<size_t>(tag_end - cursor_) + 1;
        // A tag holds no dollar sign between its ends, so every match attempt
        // stops at the next dollar sign of the text at the latest.
        for (char *p = strchr(cursor_ + tag_length, '$'); p != nullptr; p = strchr(p + 1, '$')) {
            if (strncmp(p, cursor_, tag_length) == 0) {
                cursor_ = p + tag_length;
                return true;
            }
        }
        print_error("Error: end of dollar quoted string found in line %lu\n", log_line_number());
        return false;
    }

    // The cursor is on the opening quote.
    bool skip_string_literal(bool backslash_escapes) {
        ++cursor_;
        for (;;) {
            char c = *cursor_;
            if (c == '\0') {
                print_error("Error: string literal not closed near line %lu\n"
                            "Hint: retry with%s the -q option\n",
                            log_line_number(), backslash_quote ? "out" : "");
                return false;
            }
            if (c == '\\' && backslash_escapes && (cursor_[1] == '\\' || cursor_[1] == '\'')) {
                cursor_ += 2;
            } else if (c == '\'') {
                if (cursor_[1] != '\'') break;
                cursor_ += 2;
            } else {
                ++cursor_;
            }
        }
        ++cursor_;
        return true;
    }

    void skip_line_comment() {
        char *newline = strchr(cursor_, '\n');
        cursor_ = newline != nullptr ? newline : cursor_ + strlen(cursor_);
    }

    bool skip_block_comment() {
        unsigned long depth = 1;
        cursor_ += 2;
        while (depth > 0) {
            if (*cursor_ == '\0') {
                print_error("Error: comment not closed in line %lu\n", log_line_number());
                return false;
            }
            if (cursor_[0] == '/' && cursor_[1] == '*') {
                ++depth;
                cursor_ += 2;
            } else if (cursor_[0] == '*' && cursor_[1] == '/') {
                --depth;
                cursor_ += 2;
            } else {
                ++cursor_;
            }
        }
        return true;
    }

    void blank_statement() {
        memset(statement_start_, ' ', static_cast<size_t>(cursor_ - statement_start_));
    }

    void end_statement() {
        if (words_.count == 0) return;
        parse_counters &statistics = parse_unit_state().statistics;
        ++statistics.simple_statements;
        if (words_.is(0, "copy")) {
            print_error("Warning: COPY statement ignored in line %lu\n", log_line_number());
            blank_statement();
            ++statistics.copy_statements;
        } else if (words_.count >= 2 && words_.is(0, "set") && words_.is(1, "client_encoding")) {
            print_error("Warning: \"SET client_encoding\" statement ignored in line %lu\n",
                        log_line_number());
            blank_statement();
        } else if (words_.is(0, "deallocate")) {
            forget_deallocated();
        }
    }

    // The DEALLOCATE itself is replayed; the session's list must follow it so
    // that a later execution of the name is prepared again.
    void forget_deallocated() {
        const char *name = words_.is(1, "prepare") ? words_.word[2] : words_.word[1];
        if (same_text(name, "all")) {
            print_debug(2, "Deallocating all prepared statements%s\n", "");
            remove_all_pstmts(session_);
        } else {
            print_debug(2, "Deallocating prepared statement \"%s\"\n", name);
            remove_pstmt(session_, name);
        }
    }
};

}  // namespace

bool filter_bad_statements(char *text, connection_entry *session) {
    trace_enter("filter_bad_statements");
    bool ok = statement_scanner(text, session).run();
    trace_leave("filter_bad_statements");
    return ok;
}

bool is_copy_statement(const char *text) {
    for (;;) {
        while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '\f')
            ++text;
        if (text[0] == '-' && text[1] == '-') {
            text = strchr(text, '\n');
            if (text == nullptr) return false;
        } else if (text[0] == '/' && text[1] == '*') {
            const char *end = strstr(text + 2, "*/");
            if (end == nullptr) return false;
            text = end + 2;
        } else {
            break;
        }
    }
    if (strncasecmp(text, "copy", 4) != 0) return false;
    unsigned char next = static_cast<unsigned char>(text[4]);
    return !(isalnum(next) || next == '_' || next == '$' || next >= 0x80);
}
