#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/capture.h"
#include "support/test_log.h"

namespace {

// A record in the 26 columns a server writes; fields are given as they
// stand in the file (quoted or not).  `at` is "SS.mmm" after 2000-01-01.
std::string record(const char *at, const std::string &user, const std::string &database,
                   const char *session, const char *level, const std::string &message,
                   const std::string &detail = "") {
    return std::string("2000-01-01 00:00:") + at + " UTC," + user + "," + database +
           ",7719,\"[local]\"," + session + ",4,\"idle\",2000-01-01 00:00:00 UTC,3/4,0," + level +
           ",00000," + message + "," + detail + ",,,,,,,,\"psql\",\"client backend\",,0\n";
}

void check(const std::vector<entry_case> &cases) { check_entry_cases(cases, 1); }

const uint64_t s1 = 0x6b19e41000001e27;

TEST(ParseCsvlogEntry, PicksAndUnquotesTheColumns) {
    check({
        {"message and detail",
         record("01.500", "\"alice\"", "\"shop\"", "6b19e410.1e27", "LOG",
                "\"execute s1: SELECT $1\"", "\"parameters: $1 = '7'\"") +
             record("02.000", "\"alice\"", "\"shop\"", "6b19e410.1e27", "ERROR", "\"boom\"") +
             record("03.000", "\"alice\"", "\"shop\"", "6b19e410.1e27", "STATEMENT", "\"x\""),
         {entry(1, 500, "alice", "shop", s1, log_log, "execute s1: SELECT $1",
                "parameters: $1 = '7'"),
          entry(2, 0, "alice", "shop", s1, log_error, "boom"),
          entry(3, 0, "alice", "shop", s1, log_unknown, "x")},
         0, ""},
        {"commas, doubled quotes and a line end inside quotes",
         record("01.000", "", "", "6b19e410.1e27", "LOG",
                "\"statement: SELECT 'a,b', \"\"q\"\"\nFROM t\""),
         {entry(1, 0, "", "", s1, log_log, "statement: SELECT 'a,b', \"q\"\nFROM t")}, 0, ""},
        {"quotes that do not open a field",
         record("01.000", "u\"x\"y", "\"\"", "6b19e410.1e27", "LOG", "\"\"\"\"", "a\"b,c\""),
         {entry(1, 0, "u\"xy", "", s1, log_log, "\"", "a\"b,c")}, 0, ""},
        {"names are measured after unquoting",
         record("01.000", "\"" + std::string(62, 'u') + "\"\"\"", std::string(64, 'd'),
                "6b19e410.1e27", "LOG", "x"),
         {entry(1, 0, (std::string(62, 'u') + "\"").c_str(), std::string(64, 'd').c_str(), s1,
                log_log, "x")},
         0, ""},
        {"sixteen columns are enough",
         "2000-01-01 00:00:01.000,u,d,,,6b19e410.1e27,,,,,,LOG,,m,dt,\"any\"\"thing\",,\n",
         {entry(1, 0, "u", "d", s1, log_log, "m", "dt")}, 0, ""},
        {"an empty line ends the log",
         record("01.000", "u", "d", "6b19e410.1e27", "LOG", "first") + "\n" +
             record("02.000", "u", "d", "6b19e410.1e27", "LOG", "never read"),
         {entry(1, 0, "u", "d", s1, log_log, "first")}, 0, ""},
    });
}

TEST(ParseCsvlogEntry, AppliesTheTimeWindow) {
    check({
        {"records before are dropped unparsed, the first after ends the log",
         "2000-01-01 00:00:01.000 not a record\n" +
             record("02.000", "u", "d", "6b19e410.1e27", "LOG", "at the start") +
             record("04.000", "u", "d", "6b19e410.1e27", "LOG", "at the end") +
             record("04.001", "u", "d", "6b19e410.1e27", "LOG", "after the end") +
             record("05.000", "u", "d", "6b19e410.1e27", "LOG", "never read"),
         {entry(2, 0, "u", "d", s1, log_log, "at the start"),
          entry(4, 0, "u", "d", s1, log_log, "at the end")},
         0, "", "2000-01-01 00:00:02.000", "2000-01-01 00:00:04.000"},
    });
}

TEST(ParseCsvlogEntry, ReportsMalformedRecordsWithTheirLastLine) {
    const std::string ok = record("01.000", "u", "d", "6b19e410.1e27", "LOG", "fine");
    const parsed_entry ok_entry = entry(1, 0, "u", "d", s1, log_log, "fine");
    check({
        {"fifteen columns", ok + "2000-01-01 00:00:01.000,u,d,,,6b19e410.1e27,,,,,,LOG,,m,dt\n",
         {ok_entry}, -1,
         "Error parsing line 2: comma number 15 not found (or unmatched quotes)\n"},
        {"a quote left open", "2000-01-01 00:00:01.000,\"u,d\n" + ok, {}, -1,
         "Error parsing line 2: comma number 2 not found (or unmatched quotes)\n"},
        {"bad time stamp", record("01.000", "u", "d", "6b19e410.1e27", "LOG", "m").replace(10, 1, "T"),
         {}, -1, "Error parsing line 1: character 11 in timestamp string is 'T', expected ' '\n"},
        {"user name too long",
         record("01.000", "\"" + std::string(65, 'u') + "\"", "d", "6b19e410.1e27", "LOG", "m"),
         {}, -1, "Error parsing line 1: username exceeds 64 characters\n"},
        {"database name too long",
         record("01.000", "u", std::string(65, 'd'), "6b19e410.1e27", "LOG", "m"), {}, -1,
         "Error parsing line 1: database name exceeds 64 characters\n"},
        {"bad session id in a record of two lines",
         record("01.000", "u", "d", "6b19e410.1E27", "LOG", "\"two\nlines\""), {}, -1,
         "Error parsing line 2: character 11 in session id string is 'E', expected hex digit\n"},
        {"a NUL byte", ok + std::string("2000\0", 5), {ok_entry}, -1,
         "Error: NUL byte in line 2 of input file\n"},
    });
}

TEST(ParseCsvlogEntry, TracesCalls) {
    test_log input(record("01.000", "u", "d", "6b19e410.1e27", "LOG", "m"), 1);
    debug_level_scope level(3);
    stream_capture err(stderr);
    parse_run run = parse_all_entries(1);
    EXPECT_EQ(err.stop(),
              "Entering parse_csvlog_entry\n"
              "Entering read_log_line, current line number 1\n"
              "Leaving read_log_line\n"
              "Leaving parse_csvlog_entry\n"
              "Entering parse_csvlog_entry\n"
              "Entering read_log_line, current line number 2\n"
              "Encountered EOF\n"
              "Leaving read_log_line\n"
              "Leaving parse_csvlog_entry\n"
              "Entering parse_csvlog_entry\n"
              "Leaving parse_csvlog_entry\n");
    EXPECT_EQ(run.entries.size(), 1u);
}

}  // namespace
