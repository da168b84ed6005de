#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "parse/parse_state.h"
#include "parse/session_tracking.h"
#include "parse/statement_filter.h"
#include "quillrun/settings.h"
#include "support/capture.h"

namespace {

struct filter_outcome {
    bool ok;
    std::string text;
    uint64_t simple;
    uint64_t copies;
    std::string messages;
};

// Runs the filter over text for a fresh session at log line 7.
filter_outcome filter(const std::string &text, bool quote = false,
                      connection_entry *session = nullptr) {
    connection_entry scratch{1, nullptr, nullptr};
    if (session == nullptr) session = &scratch;
    reset_parse_state();
    parse_state &state = parse_unit_state();
    state.reader.line_number = 7;
    backslash_quote = quote ? 1 : 0;
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    stream_capture err(stderr);
    bool ok = filter_bad_statements(buffer.data(), session);
    filter_outcome outcome{ok, buffer.data(), state.statistics.simple_statements,
                           state.statistics.copy_statements, err.stop()};
    backslash_quote = 0;
    remove_all_pstmts(&scratch);
    return outcome;
}

std::string blanks(size_t n) { return std::string(n, ' '); }

const char copy_warning[] = "Warning: COPY statement ignored in line 7\n";
const char encoding_warning[] = "Warning: \"SET client_encoding\" statement ignored in line 7\n";

TEST(StatementFilter, CountsBlanksAndWarns) {
    struct row {
        std::string text;
        std::string filtered;
        uint64_t simple;
        uint64_t copies;
        std::string messages;
    } rows[] = {
        {"COPY t FROM STDIN", blanks(17), 1, 1, copy_warning},
        {"SET client_encoding TO 'UTF8'; SELECT 1", blanks(29) + "; SELECT 1", 2, 0,
         encoding_warning},
        {"set CLIENT_ENCODING = 'LATIN1'", blanks(30), 1, 0, encoding_warning},
        {"SET SESSION client_encoding TO 'x'", "SET SESSION client_encoding TO 'x'", 1, 0, ""},
        {"BEGIN; SELECT 1; COMMIT", "BEGIN; SELECT 1; COMMIT", 3, 0, ""},
        // Statements without a word are not statements.
        {"SELECT 1;", "SELECT 1;", 1, 0, ""},
        {"SELECT 1; ; 'x'; 42 /* c */;", "SELECT 1; ; 'x'; 42 /* c */;", 1, 0, ""},
        // The comment belongs to the statement it leads.
        {"-- load\nCOPY x FROM STDIN", blanks(25), 1, 1, copy_warning},
        {"SELECT 1; /* x */ copy t to stdout;", "SELECT 1;" + blanks(25) + ";", 2, 1,
         copy_warning},
        // Semicolons and keywords inside literals, identifiers, dollar quotes
        // and comments are no statement boundaries.
        {"SELECT ';' ; COPY t", "SELECT ';' ;" + blanks(7), 2, 1, copy_warning},
        {"SELECT 'it''s; COPY x'; SELECT 2", "SELECT 'it''s; COPY x'; SELECT 2", 2, 0, ""},
        {"SELECT \"a;\"\"b\" FROM t", "SELECT \"a;\"\"b\" FROM t", 1, 0, ""},
        {"SELECT $$a;b$$; SELECT 2", "SELECT $$a;b$$; SELECT 2", 2, 0, ""},
        {"SELECT $x$ $$; $x$", "SELECT $x$ $$; $x$", 1, 0, ""},
        {"SELECT $1, $2", "SELECT $1, $2", 1, 0, ""},
        {"SELECT a$b FROM t", "SELECT a$b FROM t", 1, 0, ""},
        {"SELECT 1 -- ; COPY t\n", "SELECT 1 -- ; COPY t\n", 1, 0, ""},
        {"/* a /* b */ c */ SELECT 1", "/* a /* b */ c */ SELECT 1", 1, 0, ""},
        {"/* a /* b */ COPY */ SELECT 1", "/* a /* b */ COPY */ SELECT 1", 1, 0, ""},
        {"SELECT E'\\\\'; COPY t", "SELECT E'\\\\';" + blanks(7), 2, 1, copy_warning},
        // A quoted identifier matches only as written.
        {"\"COPY\" t", "\"COPY\" t", 1, 0, ""},
        {"\"copy\" t", blanks(8), 1, 1, copy_warning},
        // Non-ASCII bytes make words; the first word here is not copy.
        {"\xc3\xa9" "copy t; COPY u", "\xc3\xa9" "copy t;" + blanks(7), 2, 1, copy_warning},
    };
    for (const auto &row : rows) {
        filter_outcome got = filter(row.text);
        EXPECT_TRUE(got.ok) << row.text;
        EXPECT_EQ(got.text, row.filtered) << row.text;
        EXPECT_EQ(got.simple, row.simple) << row.text;
        EXPECT_EQ(got.copies, row.copies) << row.text;
        EXPECT_EQ(got.messages, row.messages) << row.text;
    }
}

TEST(StatementFilter, BackslashesEscapeOnlyWhereTheyShould) {
    struct row {
        const char *text;
        bool quote;
        bool ok;
        uint64_t simple;
    } rows[] = {
        {"SELECT 'a\\'b'", false, false, 0},
        {"SELECT 'a\\'b'", true, true, 1},
        {"SELECT E'a\\'b'", false, true, 1},
        {"SELECT e'a\\'b'", true, true, 1},
        {"SELECT 'a\\\\'; SELECT 2", false, true, 2},
        {"SELECT 'a\\\\'; SELECT 2", true, true, 2},
    };
    for (const auto &row : rows) {
        filter_outcome got = filter(row.text, row.quote);
        EXPECT_EQ(got.ok, row.ok) << row.text << " quote " << row.quote;
        EXPECT_EQ(got.simple, row.simple) << row.text << " quote " << row.quote;
    }
}

TEST(StatementFilter, ReportsTextsItCannotReadToTheEnd) {
    struct row {
        const char *text;
        bool quote;
        const char *message;
    } rows[] = {
        {"SELECT \"abc", false, "Error: quoted identifier not closed in line 7\n"},
        {"SELECT \"a\"\"", false, "Error: quoted identifier not closed in line 7\n"},
        {"SELECT $x", false, "Error: end of dollar quote not found in line 7\n"},
        {"SELECT 5 $", false, "Error: end of dollar quote not found in line 7\n"},
        {"SELECT $x$abc", false, "Error: end of dollar quoted string found in line 7\n"},
        {"SELECT $x$abc$y$", false, "Error: end of dollar quoted string found in line 7\n"},
        {"SELECT 'a\\'b'", false,
         "Error: string literal not closed near line 7\nHint: retry with the -q option\n"},
        {"SELECT 'abc", true,
         "Error: string literal not closed near line 7\nHint: retry without the -q option\n"},
        {"SELECT E'abc\\'", false,
         "Error: string literal not closed near line 7\nHint: retry with the -q option\n"},
        {"SELECT 'it''", false,
         "Error: string literal not closed near line 7\nHint: retry with the -q option\n"},
        {"SELECT 1 /* a /* b */", false, "Error: comment not closed in line 7\n"},
        {"SELECT 1 /*", false, "Error: comment not closed in line 7\n"},
    };
    for (const auto &row : rows) {
        filter_outcome got = filter(row.text, row.quote);
        EXPECT_FALSE(got.ok) << row.text;
        EXPECT_EQ(got.messages, row.message) << row.text;
    }
}

TEST(StatementFilter, KeepsWhatEarlierStatementsDidWhenALaterOneFails) {
    filter_outcome got = filter("COPY t FROM STDIN; SELECT 'open");
    EXPECT_FALSE(got.ok);
    EXPECT_EQ(got.text, blanks(17) + "; SELECT 'open");
    EXPECT_EQ(got.simple, 1u);
    EXPECT_EQ(got.copies, 1u);
}

std::set<std::string> names_of(const connection_entry &session) {
    std::set<std::string> names;
    for (const pstmt_entry *p = session.prepared_statements; p != nullptr; p = p->next)
        names.insert(p->name);
    return names;
}

TEST(StatementFilter, DeallocateForgetsTheNamesItDrops) {
    const std::string long_name(64, 'a');
    const std::vector<std::string> listed = {"s1", "S1", "ALL", "other", long_name};
    struct row {
        std::string text;
        std::set<std::string> left;
    } rows[] = {
        {"DEALLOCATE PREPARE S1", {"S1", "ALL", "other", long_name}},
        {"deallocate s1", {"S1", "ALL", "other", long_name}},
        {"DEALLOCATE \"S1\"", {"s1", "ALL", "other", long_name}},
        {"DEALLOCATE \"ALL\"", {"s1", "S1", "other", long_name}},
        {"DEALLOCATE ALL", {}},
        {"SELECT 1; DEALLOCATE PREPARE all", {}},
        {"DEALLOCATE nosuch", {"s1", "S1", "ALL", "other", long_name}},
        {"DEALLOCATE", {"s1", "S1", "ALL", "other", long_name}},
        {"SELECT 'DEALLOCATE s1'", {"s1", "S1", "ALL", "other", long_name}},
        // Longer words are compared by their first 64 characters.
        {"DEALLOCATE " + std::string(70, 'A'), {"s1", "S1", "ALL", "other"}},
    };
    for (const auto &row : rows) {
        connection_entry session{1, nullptr, nullptr};
        for (const auto &name : listed) ASSERT_EQ(add_pstmt(&session, name.c_str()),
                                                  pstmt_status::prepare_needed);
        filter_outcome got = filter(row.text, false, &session);
        EXPECT_TRUE(got.ok) << row.text;
        EXPECT_EQ(got.text, row.text) << "DEALLOCATE is replayed as it stands";
        EXPECT_EQ(names_of(session), row.left) << row.text;
        remove_all_pstmts(&session);
    }
}

TEST(StatementFilter, TellsWhatItDeallocatesAtDebugLevelTwo) {
    connection_entry session{1, nullptr, nullptr};
    debug_level_scope level(2);
    EXPECT_EQ(filter("DEALLOCATE x; DEALLOCATE ALL", false, &session).messages,
              "Deallocating prepared statement \"x\"\n"
              "Prepared statement not found\n"
              "Deallocating all prepared statements\n");
}

TEST(StatementFilter, RecognisesACopyPastWhiteSpaceAndComments) {
    struct row {
        const char *text;
        bool copy;
    } rows[] = {
        {"COPY k TO STDOUT", true},
        {"  copy k from stdin", true},
        {"-- export\n\t/* all of it */ Copy(k) TO STDOUT", true},
        {"copy", true},
        {"copying", false},
        {"copy_log", false},
        {"SELECT 'COPY'", false},
        {"/* copy */ SELECT 1", false},
        {"/* never closed", false},
        {"", false},
    };
    for (const auto &r : rows) EXPECT_EQ(is_copy_statement(r.text), r.copy) << r.text;
}

}  // namespace
