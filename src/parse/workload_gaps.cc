#include "workload_gaps.h"

#include <cstring>

#include "quillrun/messages.h"

namespace {

// A shortest recorded duration from this on means the server only logged
// statements above a threshold: with log_min_duration_statement = 0 every
// session's BEGIN, SET or simple SELECT takes a small fraction of it.
constexpr int64_t threshold_evidence_us = 1000;

enum class statement_class { schema, data, other };

// By the first keyword, past blanks, comments and parentheses: the
// statements that log_statement = 'ddl' and 'mod' write.
statement_class classify_statement(const char *text) {
    for (;;) {
        while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '(')
            ++text;
        if (text[0] == '-' && text[1] == '-') {
            text = strchr(text, '\n');
            if (text == nullptr) return statement_class::other;
        } else if (text[0] == '/' && text[1] == '*') {
            text = strstr(text + 2, "*/");
            if (text == nullptr) return statement_class::other;
            text += 2;
        } else {
            break;
        }
    }
    char word[12];
    size_t length = 0;
    for (; length + 1 < sizeof word; ++length) {
        char c = text[length];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c < 'a' || c > 'z') break;
        word[length] = c;
    }
    word[length] = '\0';
    static const char *const schema_words[] = {"create", "alter",  "drop",   "grant",  "revoke",
                                               "comment", "security", "import", "refresh"};
    static const char *const data_words[] = {"insert", "update", "delete", "truncate", "merge",
                                             "copy"};
    for (const char *w : schema_words)
        if (strcmp(word, w) == 0) return statement_class::schema;
    for (const char *w : data_words)
        if (strcmp(word, w) == 0) return statement_class::data;
    return statement_class::other;
}

unsigned long number(uint64_t value) { return static_cast<unsigned long>(value); }

}  // namespace

void note_logged_statement(workload_gaps &gaps, const char *text) {
    ++gaps.logged_statements;
    switch (classify_statement(text)) {
        case statement_class::schema: ++gaps.schema_statements; break;
        case statement_class::data: ++gaps.data_statements; break;
        case statement_class::other: ++gaps.other_statements; break;
    }
}

void note_timed_statement(workload_gaps &gaps, int64_t duration_us) {
    ++gaps.timed_statements;
    if (gaps.shortest_duration_us < 0 || duration_us < gaps.shortest_duration_us)
        gaps.shortest_duration_us = duration_us;
}

void warn_about_gaps(const workload_gaps &gaps) {
    uint64_t statements = gaps.logged_statements + gaps.timed_statements;
    if (gaps.sessions > 0 && statements == 0)
        print_error("Warning: the log holds %lu sessions but no statements: the server "
                    "records them with log_statement = 'all' or "
                    "log_min_duration_statement = 0\n",
                    number(gaps.sessions));
    if (gaps.timed_statements == 0 && gaps.logged_statements > 0 && gaps.other_statements == 0)
        print_error(gaps.data_statements == 0
                        ? "Warning: all %lu statements of the log change the schema, as "
                          "log_statement = 'ddl' records them: the other statements are "
                          "missing; log_statement = 'all' records them\n"
                        : "Warning: all %lu statements of the log change data or the schema, "
                          "as log_statement = 'mod' records them: the other statements are "
                          "missing; log_statement = 'all' records them\n",
                    number(gaps.logged_statements));
    if (gaps.timed_statements > 0 && gaps.shortest_duration_us >= threshold_evidence_us)
        print_error("Warning: the shortest of the %lu statements of the log took %.3f ms, as if "
                    "log_min_duration_statement were above 0: faster statements are missing; "
                    "log_min_duration_statement = 0 records them\n",
                    number(gaps.timed_statements),
                    static_cast<double>(gaps.shortest_duration_us) / 1000.0);
    if (gaps.timed_statements > 0 && gaps.failed_statements > 0)
        print_error("Warning: %lu statements failed on the recorded server and are not "
                    "replayed: duration entries leave out failed statements; "
                    "log_statement = 'all' records them\n",
                    number(gaps.failed_statements));
}
