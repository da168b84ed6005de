#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parse/errlog_entry.h"
#include "parse/csvlog_entry.h"
#include "parse/parse_state.h"
#include "support/capture.h"
#include "support/run_binary.h"
#include "support/test_log.h"

namespace {

// A line as a server with log_line_prefix '%m|%u|%d|%c|' writes it; `at` is
// "SS.mmm" after 2000-01-01 00:00:00, the time base of the parser.
std::string line(const char *at, const char *user, const char *database, const char *session,
                 const std::string &rest) {
    return std::string("2000-01-01 00:00:") + at + " UTC|" + user + "|" + database + "|" + session +
           "|" + rest + "\n";
}

void check(const std::vector<entry_case> &cases) { check_entry_cases(cases, 0); }

const uint64_t s1 = 0x4d1dd3b800001c4d;
const uint64_t s2 = 0x100000002;

TEST(ParseErrlogEntry, CutsEntriesAndTakesTheirDetails) {
    std::string statement = "statement: SELECT 'a|b:  c'";
    check({
        {"a DETAIL of any session belongs to the entry before it",
         line("01.500", "alice", "shop", "4d1dd3b8.1c4d", "LOG:  execute s1: SELECT $1") +
             line("01.501", "bob", "other", "1.2", "DETAIL:  parameters: $1 = '7'") +
             line("02.000", "alice", "shop", "4d1dd3b8.1c4d", "LOG:  " + statement),
         {entry(1, 500, "alice", "shop", s1, log_log, "execute s1: SELECT $1",
                "parameters: $1 = '7'"),
          entry(2, 0, "alice", "shop", s1, log_log, "statement: SELECT 'a|b:  c'")},
         0, ""},
        {"continuation lines join the message",
         line("03.000", "alice", "shop", "1.2", "LOG:  statement: SELECT 1") + "\tFROM t\n" +
             "\tWHERE x\n",
         {entry(3, 0, "alice", "shop", s2, log_log, "statement: SELECT 1\nFROM t\nWHERE x")}, 0,
         ""},
        {"level words and empty names",
         line("04.000", "", "", "1.2", "ERROR:  boom") +
             line("04.000", "", "", "1.2", "STATEMENT:  SELECT 1/0") +
             line("04.000", "", "", "1.2", "HINT:  h") +
             line("04.000", "", "", "1.2", "[123] LOG:  bracketed") +
             line("04.000", "", "", "1.2", "WARNING:  w"),
         {entry(4, 0, "", "", s2, log_error, "boom"),
          entry(4, 0, "", "", s2, log_unknown, "SELECT 1/0"),
          entry(4, 0, "", "", s2, log_unknown, "h"),
          entry(4, 0, "", "", s2, log_unknown, "bracketed"),
          entry(4, 0, "", "", s2, log_warning, "w")},
         0, ""},
        {"names of 64 characters pass",
         line("05.000", std::string(64, 'u').c_str(), std::string(64, 'd').c_str(), "1.2",
              "LOG:  x"),
         {entry(5, 0, std::string(64, 'u').c_str(), std::string(64, 'd').c_str(), s2, log_log,
                "x")},
         0, ""},
        // Empty lines come from other programs writing to the server's
        // standard error; the log goes on after them.
        {"empty lines after an entry, before its detail and at the end",
         line("01.000", "a", "b", "1.2", "LOG:  first") + "\n\n" +
             line("02.000", "a", "b", "1.2", "LOG:  second") + "\n" +
             line("02.000", "a", "b", "1.2", "DETAIL:  d") + "\n",
         {entry(1, 0, "a", "b", s2, log_log, "first"),
          entry(2, 0, "a", "b", s2, log_log, "second", "d")},
         0, ""},
        {"an empty line first", "\n" + line("01.000", "a", "b", "1.2", "LOG:  read"),
         {entry(1, 0, "a", "b", s2, log_log, "read")}, 0, ""},
    });
}

TEST(ParseErrlogEntry, DropsMemoryDumps) {
    std::string dump =
        "TopMemoryContext: 97680 total in 5 blocks; 15008 free (10 chunks); 82672 used\n"
        "  MessageContext: 16384 total in 2 blocks; 7952 free (6 chunks); 8432 used\n"
        "    ExecutorState: 8192 total in 1 blocks; 5832 free (0 chunks); 2360 used\n"
        "Grand total: 601640672 bytes in 180 blocks; 607728 free (85 chunks); 601032944 used\n";
    check({
        {"a dump after an entry, then an indented line",
         line("01.000", "a", "b", "1.2", "LOG:  before") + dump +
             line("02.000", "a", "b", "1.2", "ERROR:  out of memory") + " indented\n" +
             line("03.000", "a", "b", "1.2", "LOG:  after"),
         {entry(1, 0, "a", "b", s2, log_log, "before"),
          entry(2, 0, "a", "b", s2, log_error, "out of memory"),
          entry(3, 0, "a", "b", s2, log_log, "after")},
         0, "Found memory dump in line 2\n"},
        {"a dump where an entry begins",
         dump + dump + line("01.000", "a", "b", "1.2", "LOG:  after"),
         {entry(1, 0, "a", "b", s2, log_log, "after")}, 0,
         "Found memory dump in line 1\nFound memory dump in line 5\n"},
    });
}

// Recorded from a server that ran out of memory, the dump trimmed.
TEST(ParseErrlogEntry, ParsesARealOutOfMemoryLog) {
    test_log log(read_file(QUILLRUN_SOURCE_DIR "/tests/fixtures/out_of_memory.log"), 0);
    stream_capture err(stderr);
    parse_run run = parse_all_entries(0);
    EXPECT_EQ(err.stop(), "Found memory dump in line 8\n");
    EXPECT_EQ(run.last_result, 0);
    EXPECT_EQ(log_line_number(), 33u);
    ASSERT_EQ(run.entries.size(), 14u);
    const uint64_t session = 0x6b19e40d00001e10;
    EXPECT_EQ(run.entries[6].message, "statement: select length(repeat('x', 600000000))");
    EXPECT_EQ(run.entries[6].session_id, session);
    EXPECT_EQ(run.entries[7].type, log_error);
    EXPECT_EQ(run.entries[7].message, "out of memory");
    EXPECT_EQ(run.entries[7].detail,
              "Failed on request of size 600000004 in memory context \"MessageContext\".");
    EXPECT_EQ(run.entries[8].type, log_unknown);
    EXPECT_EQ(run.entries[8].message, "select length(repeat('x', 600000000))");
    EXPECT_EQ(run.entries[13].message.rfind("disconnection: session time: 0:00:00.002", 0), 0u);
    EXPECT_EQ(run.entries[13].session_id, 0x6b19e41000001e27u);
}

TEST(ParseErrlogEntry, AppliesTheTimeWindow) {
    check({
        {"lines before the window are dropped unparsed, the first after it ends the log",
         "2000-01-01 00:00:01.000 not even a prefix\n" +
             line("02.000", "a", "b", "1.2", "LOG:  at the start") +
             // Held back after an entry: only the end of the window applies.
             line("01.000", "a", "b", "1.2", "LOG:  held back") +
             line("04.000", "a", "b", "1.2", "LOG:  at the end") +
             line("04.001", "a", "b", "1.2", "LOG:  after the end") +
             line("05.000", "a", "b", "1.2", "LOG:  never read"),
         {entry(2, 0, "a", "b", s2, log_log, "at the start"),
          entry(1, 0, "a", "b", s2, log_log, "held back"),
          entry(4, 0, "a", "b", s2, log_log, "at the end")},
         0, "", "2000-01-01 00:00:02.000", "2000-01-01 00:00:04.000"},
        {"a line read fresh after the window",
         line("01.000", "a", "b", "1.2", "LOG:  before") +
             line("04.000", "a", "b", "1.2", "LOG:  after"),
         {}, 0, "", "2000-01-01 00:00:02.000", "2000-01-01 00:00:03.000"},
    });
}

TEST(ParseErrlogEntry, ReportsMalformedEntriesWithTheirLineNumber) {
    const std::string ok = line("01.000", "a", "b", "1.2", "LOG:  fine");
    const parsed_entry ok_entry = entry(1, 0, "a", "b", s2, log_log, "fine");
    const std::string prefix_hint = "\" found - log_line_prefix may be wrong\n";
    check({
        {"no separator", "garbage\n", {}, -1,
         "Error parsing line 1: no \"|\" found - log_line_prefix may be wrong\n"},
        {"a line after an entry with one separator", ok + "a|b\n", {}, -1,
         "Error parsing line 2: only 1 \"|" + prefix_hint},
        {"only three separators first", "a|b|c|LOG:  x\n", {}, -1,
         "Error parsing line 1: fourth \"|\" not found - log_line_prefix may be wrong\n"},
        {"two separators first", "a|b|c\n", {}, -1,
         "Error parsing line 1: third \"|\" not found - log_line_prefix may be wrong\n"},
        {"one separator first", "a|b\n", {}, -1,
         "Error parsing line 1: second \"|\" not found - log_line_prefix may be wrong\n"},
        {"no level word", line("01.000", "a", "b", "1.2", "LOG: x"), {}, -1,
         "Error parsing line 1: log message does not begin with a log type\n"},
        {"bad time stamp", "2000-01-01T00:00:01.000|a|b|1.2|LOG:  x\n", {}, -1,
         "Error parsing line 1: character 11 in timestamp string is 'T', expected ' '\n"},
        {"user name too long", line("01.000", std::string(65, 'u').c_str(), "b", "1.2", "LOG:  x"),
         {}, -1, "Error parsing line 1: username exceeds 64 characters\n"},
        {"database name too long",
         line("01.000", "a", std::string(65, 'd').c_str(), "1.2", "LOG:  x"), {}, -1,
         "Error parsing line 1: database name exceeds 64 characters\n"},
        {"bad session id after a continuation",
         ok + line("01.000", "a", "b", "4d1dd3b8", "LOG:  x") + "\tcontinued\n", {ok_entry}, -1,
         "Error parsing line 3: Missing \".\" in session id string\n"},
        {"a line after an entry with three separators", ok + "a|b|c|d\n", {}, -1,
         "Error parsing line 2: only 3 \"|" + prefix_hint},
        {"indented line before any dump", ok + " indented\n", {}, -1,
         "Error parsing line 2: only 0 \"|" + prefix_hint},
        {"a NUL byte where the detail may be", ok + std::string("\0", 1), {}, -1,
         "Error: NUL byte in line 2 of input file\n"},
    });
}

TEST(ParseErrlogEntry, TracesAndReportsProgress) {
    std::string log = line("01.000", "a", "b", "1.2", "LOG:  x") +
                      line("01.000", "a", "b", "1.2", "DETAIL:  d");
    struct row {
        int level;
        const char *messages;
    } rows[] = {
        {2, "Found a DETAIL message\nEncountered EOF\n"},
        {3,
         "Entering parse_errlog_entry\n"
         "Entering read_log_line, current line number 1\n"
         "Leaving read_log_line\n"
         "Entering read_log_line, current line number 2\n"
         "Leaving read_log_line\n"
         "Found a DETAIL message\n"
         "Leaving parse_errlog_entry\n"
         "Entering parse_errlog_entry\n"
         "Entering read_log_line, current line number 3\n"
         "Encountered EOF\n"
         "Leaving read_log_line\n"
         "Leaving parse_errlog_entry\n"
         // The end is final: no more reading.
         "Entering parse_errlog_entry\n"
         "Leaving parse_errlog_entry\n"},
    };
    for (const auto &r : rows) {
        test_log input(log, 0);
        debug_level_scope level(r.level);
        stream_capture err(stderr);
        parse_run run = parse_all_entries(0);
        EXPECT_EQ(err.stop(), r.messages) << "level " << r.level;
        EXPECT_EQ(run.entries.size(), 1u);
    }
}

TEST(ParseErrlogEntry, EntryParsersTableFollowsCsvMode) {
    EXPECT_EQ(entry_parsers[0], &parse_errlog_entry);
    EXPECT_EQ(entry_parsers[1], &parse_csvlog_entry);
}

TEST(ParseLogType, MatchesWholeWordsExactly) {
    struct row {
        const char *word;
        log_type type;
    } rows[] = {
        {"DEBUG5", log_debug5}, {"DEBUG4", log_debug4},   {"DEBUG3", log_debug3},
        {"DEBUG2", log_debug2}, {"DEBUG1", log_debug1},   {"INFO", log_info},
        {"NOTICE", log_notice}, {"WARNING", log_warning}, {"ERROR", log_error},
        {"LOG", log_log},       {"FATAL", log_fatal},     {"PANIC", log_panic},
        {"log", log_unknown},   {"LOGS", log_unknown},    {"DEBUG", log_unknown},
        {"", log_unknown},      {"DETAIL", log_unknown},
    };
    for (const auto &r : rows) EXPECT_EQ(parse_log_type(r.word), r.type) << r.word;
}

}  // namespace
