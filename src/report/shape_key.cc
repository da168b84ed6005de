#include "report/shape_key.h"

#include <cstdint>
#include <cstring>

#include "quillrun/settings.h"

namespace {

constexpr char marker = '\x01';

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_word_start(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u >= 128;
}
bool is_word_part(char c) { return is_word_start(c) || is_digit(c) || c == '$'; }
bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_word(const char *word, size_t length, const char *lower) {
    if (strlen(lower) != length) return false;
    for (size_t i = 0; i < length; ++i)
        if (fold(word[i]) != lower[i]) return false;
    return true;
}

bool is_dml_word(const char *word, size_t length) {
    for (const char *dml :
         {"select", "insert", "update", "delete", "merge", "with", "values", "table"})
        if (same_word(word, length, dml)) return true;
    return false;
}

class shape_scanner {
public:
    shape_scanner(const char *text, std::string *key) : at_(text), key_(*key) { key_.clear(); }

    bool run() {
        while (*at_ != '\0') {
            char c = *at_;
            bool ok;
            if (c == marker) return false;
            if (is_space(c)) {
                key_ += c;
                ++at_;
                continue;
            }
            if (c == '-' && at_[1] == '-') {
                ok = line_comment();
            } else if (c == '/' && at_[1] == '*') {
                ok = block_comment();
            } else if (c == '\'') {
                ok = string('s', true);
            } else if (c == '"') {
                ok = quoted_identifier();
            } else if (c == '$') {
                ok = dollar();
            } else if (is_digit(c) || (c == '.' && is_digit(at_[1]))) {
                ok = number();
            } else if (is_word_start(c)) {
                ok = word();
            } else {
                ok = punctuation();
            }
            if (!ok) return false;
        }
        return true;
    }

private:
    enum class statement_kind { unknown, dml, other };

    void copy(const char *end) {
        key_.append(at_, static_cast<size_t>(end - at_));
        at_ = end;
    }

    // Every token but a comment ends the run of a "[" before an integer.
    void token_seen(bool bracket = false) { after_bracket_ = bracket; }

    void first_token(bool dml) {
        if (statement_ == statement_kind::unknown)
            statement_ = dml ? statement_kind::dml : statement_kind::other;
    }

    // A literal from at_ to end becomes the marker of its class.
    bool literal(char token_class, const char *end) {
        first_token(false);
        token_seen();
        if (statement_ != statement_kind::dml) return false;
        key_ += marker;
        key_ += token_class;
        at_ = end;
        return true;
    }

    bool line_comment() {
        const char *end = at_;
        while (*end != '\0' && *end != '\n' && *end != '\r') ++end;
        copy(end);
        return true;
    }

    bool block_comment() {
        const char *end = at_ + 2;
        int depth = 1;
        while (depth > 0) {
            if (*end == '\0') return false;
            if (end[0] == '/' && end[1] == '*') {
                ++depth;
                end += 2;
            } else if (end[0] == '*' && end[1] == '/') {
                --depth;
                end += 2;
            } else {
                ++end;
            }
        }
        copy(end);
        return true;
    }

    // A quoted literal from the quote at at_.  Doubled quotes stand for one
    // in strings, not in bit and hex strings.
    bool string(char token_class, bool doubled_quotes) {
        const char *end = at_ + 1;
        for (;;) {
            if (*end == '\0') return false;
            if (*end == '\'') {
                if (doubled_quotes && end[1] == '\'') {
                    end += 2;
                    continue;
                }
                break;
            }
            if (*end == '\\' && backslash_quote && doubled_quotes) return false;
            ++end;
        }
        return literal(token_class, end + 1);
    }

    bool quoted_identifier() {
        const char *end = at_ + 1;
        for (;;) {
            if (*end == '\0') return false;
            if (*end == '"') {
                if (end[1] == '"') {
                    end += 2;
                    continue;
                }
                break;
            }
            ++end;
        }
        first_token(false);
        token_seen();
        copy(end + 1);
        return true;
    }

    // A parameter ($1), a dollar-quoted string ($$...$$, $tag$...$tag$), or
    // a lone "$".
    bool dollar() {
        const char *end = at_ + 1;
        if (is_digit(*end)) {
            while (is_digit(*end)) ++end;
            first_token(false);
            token_seen();
            copy(end);
            return true;
        }
        if (*end != '$' && is_word_start(*end)) {
            while (is_word_part(*end) && *end != '$') ++end;
        }
        if (*end != '$') {
            first_token(false);
            token_seen();
            copy(at_ + 1);
            return true;
        }
        std::string delimiter(at_, static_cast<size_t>(end + 1 - at_));
        const char *close = strstr(end + 1, delimiter.c_str());
        if (close == nullptr) return false;
        return literal('s', close + delimiter.size());
    }

    // Numbers as the lexer reads them: digits, a decimal point with digits
    // on at least one side (not the ".." of a range), an exponent only when
    // digits follow it.  An integer beyond 32 bits is read as a number of
    // the other class, and is allowed in other places.
    bool number() {
        const char *end = at_;
        uint64_t value = 0;
        bool fits = true;
        while (is_digit(*end)) {
            if (fits) {
                value = value * 10 + static_cast<uint64_t>(*end - '0');
                fits = value <= INT32_MAX;
            }
            ++end;
        }
        bool integer = true;
        if (*end == '.' && end[1] != '.') {
            integer = false;
            ++end;
            while (is_digit(*end)) ++end;
        }
        if (*end == 'e' || *end == 'E') {
            const char *exponent = end + 1;
            if (*exponent == '+' || *exponent == '-') ++exponent;
            if (is_digit(*exponent)) {
                integer = false;
                end = exponent;
                while (is_digit(*end)) ++end;
            }
        }
        if (integer && after_bracket_) {
            first_token(false);
            token_seen();
            copy(end);
            return true;
        }
        return literal(integer && fits ? 'i' : 'f', end);
    }

    bool word() {
        const char *end = at_;
        while (is_word_part(*end)) ++end;
        size_t length = static_cast<size_t>(end - at_);
        if (length == 1 && *end == '\'') {
            switch (fold(*at_)) {
                case 'e': return false;  // escapes; some are invalid
                case 'b': ++at_, key_ += 'B'; return string('b', false);
                case 'x': ++at_, key_ += 'X'; return string('x', false);
                case 'n': ++at_, key_ += 'N'; return string('s', true);
                default: break;
            }
        }
        if (length == 1 && fold(*at_) == 'u' && *end == '&' && end[1] == '\'') return false;
        if (same_word(at_, length, "float")) return false;
        first_token(is_dml_word(at_, length));
        token_seen();
        copy(end);
        return true;
    }

    bool punctuation() {
        char c = *at_;
        if (c == ';') {
            statement_ = statement_kind::unknown;
        } else if (c != '(') {
            first_token(false);
        }
        token_seen(c == '[');
        copy(at_ + 1);
        return true;
    }

    const char *at_;
    std::string &key_;
    statement_kind statement_ = statement_kind::unknown;
    bool after_bracket_ = false;
};

}  // namespace

bool report_shape_key(const char *text, std::string *key) { return shape_scanner(text, key).run(); }
