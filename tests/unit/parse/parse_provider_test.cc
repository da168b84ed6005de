#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "quillrun/alloc.h"
#include "support/provider_run.h"
#include "support/utc_test.h"

namespace {

using texts = std::vector<std::string>;

// Log time stamps are read in local time; UTC keeps the item times readable
// (2000-01-01 00:00:05.250 is 5.250000).
class ParseProvider : public utc_test {};

// One stderr-format line of the first minute of 2000 (seconds "05.250").
std::string line(const std::string &seconds, const std::string &session,
                 const std::string &text, const std::string &user = "alice",
                 const std::string &database = "shop") {
    return "2000-01-01 00:00:" + seconds + " UTC|" + user + "|" + database + "|" + session +
           "|" + text + "\n";
}

std::string record(const std::string &seconds, const std::string &session,
                   const std::string &level, const std::string &message,
                   const std::string &detail = "", const std::string &user = "alice") {
    return csv_record("2000-01-01 00:00:" + seconds + " UTC", user, "shop", session, level,
                      message, detail);
}

// A little of everything: connection, statements, named and unnamed
// executions, a cancel, a session that appears without a connection line
// and stays open, and entries that make no items.
const std::string workload_stderr =
    line("05.000", "a.1", "LOG:  connection received: host=[local]") +
    line("05.001", "a.1", "LOG:  connection authorized: user=alice database=shop") +
    line("05.100", "a.1", "LOG:  statement: SELECT 1") +
    line("05.200", "a.1", "LOG:  execute s1: SELECT $1, $2") +
    line("05.200", "a.1", "DETAIL:  parameters: $1 = 'x', $2 = NULL") +
    line("05.300", "a.1", "LOG:  execute s1: SELECT $1, $2") +
    line("05.300", "a.1", "DETAIL:  parameters: $1 = 'it''s', $2 = '7'") +
    line("05.400", "a.1", "LOG:  execute <unnamed>: SELECT now()") +
    line("05.500", "b.2", "LOG:  statement: BEGIN;", "bob") +
    line("05.600", "a.1", "ERROR:  canceling statement due to user request") +
    line("05.600", "a.1", "STATEMENT:  SELECT pg_sleep(5)") +
    line("05.700", "a.1", "LOG:  disconnection: session time: 0:00:00.700 user=alice") +
    line("05.800", "b.2", "LOG:  execute s1: SELECT 2", "bob") +
    line("06.000", "b.2", "LOG:  duration: 0.100 ms", "bob");

// The workload as the CSV or the jsonlog log has it: one line per entry.
std::string workload_records(decltype(&csv_record) make) {
    struct row {
        const char *seconds, *session, *level, *message, *detail, *user;
    } rows[] = {
        {"05.000", "a.1", "LOG", "connection received: host=[local]", "", "alice"},
        {"05.001", "a.1", "LOG", "connection authorized: user=alice database=shop", "", "alice"},
        {"05.100", "a.1", "LOG", "statement: SELECT 1", "", "alice"},
        {"05.200", "a.1", "LOG", "execute s1: SELECT $1, $2", "parameters: $1 = 'x', $2 = NULL",
         "alice"},
        {"05.300", "a.1", "LOG", "execute s1: SELECT $1, $2",
         "parameters: $1 = 'it''s', $2 = '7'", "alice"},
        {"05.400", "a.1", "LOG", "execute <unnamed>: SELECT now()", "", "alice"},
        {"05.500", "b.2", "LOG", "statement: BEGIN;", "", "bob"},
        {"05.600", "a.1", "ERROR", "canceling statement due to user request", "", "alice"},
        {"05.700", "a.1", "LOG", "disconnection: session time: 0:00:00.700 user=alice", "", "alice"},
        {"05.800", "b.2", "LOG", "execute s1: SELECT 2", "", "bob"},
        {"06.000", "b.2", "LOG", "duration: 0.100 ms", "", "bob"},
    };
    std::string log;
    for (const auto &r : rows)
        log += make(std::string("2000-01-01 00:00:") + r.seconds + " UTC", r.user, "shop",
                    r.session, r.level, r.message, r.detail);
    return log;
}

const std::string workload_csv = workload_records(csv_record);
const std::string workload_json = workload_records(json_record);

const texts workload_items = {
    "connect 0xa00000001 5.001000 alice@shop",
    "execute 0xa00000001 5.100000 SELECT 1",
    "prepare 0xa00000001 5.200000 \"s1\": SELECT $1, $2",
    "exec_prepared 0xa00000001 5.200000 \"s1\" 'x' NULL",
    "exec_prepared 0xa00000001 5.300000 \"s1\" 'it's' '7'",
    "prepare 0xa00000001 5.400000 \"\": SELECT now()",
    "exec_prepared 0xa00000001 5.400000 \"\"",
    "connect 0xb00000002 5.500000 bob@shop",
    "execute 0xb00000002 5.500000 BEGIN;",
    "cancel 0xa00000001 5.600000",
    "disconnect 0xa00000001 5.700000",
    "prepare 0xb00000002 5.800000 \"s1\": SELECT 2",
    "exec_prepared 0xb00000002 5.800000 \"s1\"",
    // Closed at the end, at the time of the last entry that made items.
    "disconnect 0xb00000002 5.800000",
};

std::string workload_statistics(int lines) {
    return "\nParse statistics\n"
           "================\n\n"
           "Log lines read: " + std::to_string(lines) + "\n"
           "Total SQL statements processed: 6\n"
           "Simple SQL statements processed: 2\n"
           "Parametrized SQL statements processed: 1\n"
           "Named prepared SQL statements executions processed: 3\n"
           "Different named prepared SQL statements processed: 2\n"
           "(average reuse count 0.500)\n"
           "Cancel requests processed: 1\n"
           "Fast-path function calls ignored: 0\n"
           "Duration of recorded workload: 0.799 seconds\n";
}

TEST_F(ParseProvider, TurnsAStderrLogIntoItems) {
    parse_result got = parse_log_text(workload_stderr);
    EXPECT_FALSE(got.failed) << got.messages;
    EXPECT_EQ(got.texts(), workload_items);
    EXPECT_TRUE(got.end_repeats);
    EXPECT_EQ(got.messages, "");
    EXPECT_EQ(got.statistics, workload_statistics(14));
}

TEST_F(ParseProvider, TurnsACsvLogIntoTheSameItems) {
    parse_result got = parse_log_text(workload_csv, {.csv = true});
    EXPECT_FALSE(got.failed) << got.messages;
    EXPECT_EQ(got.texts(), workload_items);
    EXPECT_EQ(got.statistics, workload_statistics(11));
}

// The format is told by the first byte, whether or not -c was given.
TEST_F(ParseProvider, TurnsAJsonLogIntoTheSameItems) {
    for (bool csv : {false, true}) {
        parse_result got = parse_log_text(workload_json, {.csv = csv, .debug_level = 2});
        EXPECT_FALSE(got.failed) << got.messages;
        EXPECT_EQ(got.texts(), workload_items);
        EXPECT_EQ(got.statistics, workload_statistics(11));
        EXPECT_EQ(got.messages.rfind("Found a jsonlog log\n", 0), 0u) << got.messages;
    }
}

TEST_F(ParseProvider, FiltersStatementsAndWarnsWithTheLineNumber) {
    const std::string stderr_log =
        line("01.000", "c.3", "LOG:  statement: SELECT 1,") + "\t  2;\n\tCOPY t FROM STDIN;\n" +
        line("02.000", "c.3", "LOG:  fastpath function call: function OID 1262") +
        line("03.000", "d.3", "LOG:  statement: SET client_encoding TO 'LATIN1'");
    const std::string csv_log =
        record("01.000", "c.3", "LOG", "statement: SELECT 1,\n  2;\nCOPY t FROM STDIN;") +
        record("02.000", "c.3", "LOG", "fastpath function call: function OID 1262") +
        record("03.000", "d.3", "LOG", "statement: SET client_encoding TO 'LATIN1'");
    std::string json_log;
    for (std::string csv_line : {"01.000,c.3,statement: SELECT 1,\n  2;\nCOPY t FROM STDIN;",
                                 "02.000,c.3,fastpath function call: function OID 1262",
                                 "03.000,d.3,statement: SET client_encoding TO 'LATIN1'"}) {
        size_t first = csv_line.find(','), second = csv_line.find(',', first + 1);
        json_log += json_record("2000-01-01 00:00:" + csv_line.substr(0, first) + " UTC", "alice",
                                "shop", csv_line.substr(first + 1, second - first - 1), "LOG",
                                csv_line.substr(second + 1));
    }
    const texts items = {
        "connect 0xc00000003 1.000000 alice@shop",
        "execute 0xc00000003 1.000000 SELECT 1,\n  2;" + std::string(18, ' ') + ";",
        "connect 0xd00000003 3.000000 alice@shop",
        "execute 0xd00000003 3.000000 " + std::string(31, ' '),
        "disconnect 0xd00000003 3.000000",
        "disconnect 0xc00000003 3.000000",
    };
    // The stderr parser has read the line after an entry (looking for its
    // DETAIL) before the entry is handled, so its numbers run one ahead.
    struct row {
        const std::string &log;
        bool csv;
        const char *messages;
    } rows[] = {
        {stderr_log, false,
         "Warning: COPY statement ignored in line 4\n"
         "Warning: fast-path function call ignored in line 5\n"
         "Warning: \"SET client_encoding\" statement ignored in line 5\n"},
        {csv_log, true,
         "Warning: COPY statement ignored in line 3\n"
         "Warning: fast-path function call ignored in line 4\n"
         "Warning: \"SET client_encoding\" statement ignored in line 5\n"},
        {json_log, false,
         "Warning: COPY statement ignored in line 1\n"
         "Warning: fast-path function call ignored in line 2\n"
         "Warning: \"SET client_encoding\" statement ignored in line 3\n"},
    };
    for (const auto &row : rows) {
        parse_result got = parse_log_text(row.log, {.csv = row.csv});
        EXPECT_FALSE(got.failed) << got.messages;
        EXPECT_EQ(got.texts(), items) << "csv " << row.csv;
        EXPECT_EQ(got.messages, row.messages) << "csv " << row.csv;
        const std::string counts =
            "Total SQL statements processed: 3\n"
            "Simple SQL statements processed: 3\n"
            "(includes 1 ignored copy statements)\n";
        EXPECT_NE(got.statistics.find(counts), std::string::npos) << got.statistics;
        EXPECT_NE(got.statistics.find("Fast-path function calls ignored: 1\n"), std::string::npos);
    }
}

// A COPY through the extended protocol has no data in the log either: it is
// left out with the same warning as a simple one, not replayed.
TEST_F(ParseProvider, ExtendedProtocolCopiesAreLeftOutWithAWarning) {
    const std::string log =
        line("01.000", "c.3", "LOG:  execute <unnamed>: COPY k TO STDOUT") +
        line("02.000", "c.3", "LOG:  execute S_1: /* load */ copy k from stdin") +
        line("03.000", "c.3", "LOG:  execute <unnamed>: SELECT copy_id FROM k WHERE a = $1") +
        "2000-01-01 00:00:03.000 UTC|alice|shop|c.3|DETAIL:  parameters: $1 = '7'\n";
    parse_result got = parse_log_text(log);
    EXPECT_FALSE(got.failed) << got.messages;
    EXPECT_EQ(got.messages,
              "Warning: COPY statement ignored in line 2\n"
              "Warning: COPY statement ignored in line 3\n");
    EXPECT_EQ(got.texts(), (texts{"connect 0xc00000003 3.000000 alice@shop",
                                  "prepare 0xc00000003 3.000000 \"\": SELECT copy_id FROM k "
                                  "WHERE a = $1",
                                  "exec_prepared 0xc00000003 3.000000 \"\" '7'",
                                  "disconnect 0xc00000003 3.000000"}));
}

TEST_F(ParseProvider, DatabaseAndUserFiltersSkipEntries) {
    const std::string log = line("01.000", "1.1", "LOG:  statement: SELECT 1", "alice", "mydb") +
                            line("02.000", "2.1", "LOG:  statement: SELECT 2", "bob", "mydb2") +
                            line("03.000", "3.1", "LOG:  statement: SELECT 3", "carol", "shop") +
                            line("04.000", "4.1", "LOG:  statement: SELECT 4", "", "");
    auto connected_users = [](const parse_result &result) {
        std::string users;
        for (const auto &item : result.items)
            if (item.type == pg_connect) users += "[" + *item.data[0] + "]";
        return users;
    };
    struct row {
        const char *databases;
        const char *users;
        const char *expected;
    } rows[] = {
        {nullptr, nullptr, "[alice][bob][carol][]"},
        {"\\mydb\\", nullptr, "[alice][]"},
        {"\\shop\\mydb2\\", nullptr, "[bob][carol][]"},
        {nullptr, "\\bob\\alice\\", "[alice][bob][]"},
        {"\\mydb2\\", "\\alice\\", "[]"},
        {"\\nosuch\\", nullptr, "[]"},
    };
    for (const auto &row : rows) {
        parse_result got =
            parse_log_text(log, {.database_filter = row.databases, .username_filter = row.users});
        EXPECT_FALSE(got.failed);
        EXPECT_EQ(connected_users(got), row.expected)
            << (row.databases ? row.databases : "-") << " " << (row.users ? row.users : "-");
    }
}

TEST_F(ParseProvider, ClosesOpenSessionsInBucketOrderThenEndsForGood) {
    const std::string log = line("01.000", "2.ff", "LOG:  statement: SELECT 1") +
                            line("02.000", "1.2", "LOG:  statement: SELECT 2") +
                            line("03.000", "3.2", "LOG:  statement: SELECT 3");
    parse_result got = parse_log_text(log);
    const texts all = got.texts();
    ASSERT_EQ(all.size(), 9u);
    EXPECT_EQ(texts(all.begin() + 6, all.end()),
              (texts{"disconnect 0x300000002 3.000000", "disconnect 0x100000002 3.000000",
                     "disconnect 0x2000000ff 3.000000"}));
    EXPECT_TRUE(got.end_repeats);

    parse_result empty = parse_log_text("");
    EXPECT_TRUE(empty.items.empty());
    EXPECT_TRUE(empty.end_repeats);
    EXPECT_NE(empty.statistics.find("Log lines read: 0\n"), std::string::npos);
}

TEST_F(ParseProvider, AnEntryAfterTheWindowEndsTheInput) {
    const std::string log = line("01.000", "1.1", "LOG:  statement: SELECT 1") +
                            line("02.000", "1.1", "LOG:  statement: SELECT 2") +
                            line("09.000", "1.1", "LOG:  statement: SELECT 9") +
                            line("10.000", "2.1", "LOG:  statement: SELECT 10");
    parse_result got = parse_log_text(log, {.end_timestamp = "2000-01-01 00:00:02.000"});
    EXPECT_EQ(got.texts(), (texts{"connect 0x100000001 1.000000 alice@shop",
                                  "execute 0x100000001 1.000000 SELECT 1",
                                  "execute 0x100000001 2.000000 SELECT 2",
                                  "disconnect 0x100000001 2.000000"}));
}

// A stderr line of a server in Berlin: the stamp with its zone name.
std::string berlin_line(const std::string &stamp, const std::string &session,
                        const std::string &text) {
    return stamp + "|alice|shop|" + session + "|" + text + "\n";
}

TEST_F(ParseProvider, TimesStayEvenAcrossBothDaylightSavingChanges) {
    setenv("TZ", "Europe/Berlin", 1);
    const std::string log =
        berlin_line("2026-03-29 01:59:59.500 CET", "1.1", "LOG:  statement: SELECT 1") +
        berlin_line("2026-03-29 03:00:00.250 CEST", "1.1", "LOG:  statement: SELECT 2") +
        berlin_line("2026-10-25 02:59:59.500 CEST", "1.1", "LOG:  statement: SELECT 3") +
        berlin_line("2026-10-25 02:00:00.250 CET", "1.1", "LOG:  statement: SELECT 4");
    parse_result got = parse_log_text(log);
    ASSERT_FALSE(got.failed) << got.messages;
    EXPECT_EQ(got.messages, "");
    std::vector<double> times;
    for (const auto &item : got.items)
        if (item.type == pg_execute) times.push_back(item.time.tv_sec + item.time.tv_usec / 1e6);
    ASSERT_EQ(times.size(), 4u);
    EXPECT_DOUBLE_EQ(times[1] - times[0], 0.75);
    EXPECT_DOUBLE_EQ(times[3] - times[2], 0.75);
    // 210 days from 03:00 CEST to 02:59:59.500 CEST, all of them summer time.
    EXPECT_DOUBLE_EQ(times[2] - times[1], 210 * 86400 - 0.75);
    EXPECT_NE(got.statistics.find("Duration of recorded workload: 5040 hours 0.750 seconds\n"),
              std::string::npos)
        << got.statistics;
}

TEST_F(ParseProvider, TimeRunningBackwardsIsWarnedAboutOnce) {
    // Without zone names the repeated hour of the autumn change cannot be
    // told apart: the stamps step back an hour (twice).  Steps of less
    // than a second are the ordinary disorder of concurrent sessions.
    setenv("TZ", "Europe/Berlin", 1);
    const std::string log =
        berlin_line("2026-10-25 02:59:59.500", "1.1", "LOG:  statement: SELECT 1") +
        berlin_line("2026-10-25 02:59:59.000", "2.1", "LOG:  statement: SELECT 2") +
        berlin_line("2026-10-25 02:00:00.250", "1.1", "LOG:  statement: SELECT 3") +
        "\tFROM t\n" +
        berlin_line("2026-10-25 02:00:00.500", "1.1", "LOG:  statement: SELECT 4") +
        berlin_line("2026-10-25 01:00:00.000", "1.1", "LOG:  statement: SELECT 5");
    for (auto make : {decltype(&csv_record){nullptr}, &csv_record, &json_record}) {
        bool csv = make == &csv_record;
        std::string text = log;
        if (make != nullptr) {
            text.clear();
            for (const char *row : {"2026-10-25 02:59:59.500,1.1,SELECT 1",
                                    "2026-10-25 02:59:59.000,2.1,SELECT 2",
                                    "2026-10-25 02:00:00.250,1.1,SELECT 3\nFROM t",
                                    "2026-10-25 02:00:00.500,1.1,SELECT 4",
                                    "2026-10-25 01:00:00.000,1.1,SELECT 5"}) {
                std::string fields = row;
                size_t first = fields.find(','), second = fields.find(',', first + 1);
                text += make(fields.substr(0, first), "alice", "shop",
                             fields.substr(first + 1, second - first - 1), "LOG",
                             "statement: " + fields.substr(second + 1), "");
            }
        }
        parse_result got = parse_log_text(text, {.csv = csv});
        ASSERT_FALSE(got.failed) << got.messages;
        // The first line of the entry whose time went back.
        EXPECT_EQ(got.messages, "Warning: time runs backwards by 3599.250 seconds in line 3 of "
                                "the log\n")
            << "csv " << csv;
        EXPECT_NE(got.statistics.find("Duration of recorded workload: 1 hours 59 minutes "
                                      "59.500 seconds\n"),
                  std::string::npos)
            << got.statistics;
    }
}

TEST_F(ParseProvider, ReconnectedSessionPreparesAgain) {
    const std::string log =
        line("01.000", "1.1", "LOG:  connection authorized: user=alice") +
        line("01.100", "1.1", "LOG:  execute s1: SELECT 1") +
        line("01.200", "1.1", "LOG:  execute s1: SELECT 1") +
        line("01.300", "1.1", "LOG:  statement: DEALLOCATE s1") +
        line("01.400", "1.1", "LOG:  execute s1: SELECT 1") +
        line("01.500", "1.1", "LOG:  disconnection: session time: 0:00:00.500") +
        line("02.000", "1.2", "LOG:  execute s1: SELECT 1");
    parse_result got = parse_log_text(log);
    int prepares = 0, executions = 0;
    for (const auto &item : got.items) {
        prepares += item.type == pg_prepare;
        executions += item.type == pg_exec_prepared;
    }
    EXPECT_EQ(prepares, 3);
    EXPECT_EQ(executions, 4);
    EXPECT_EQ(got.items.back().text(), "disconnect 0x100000002 2.000000");
}

TEST_F(ParseProvider, LongStatementNamesReachTheItemsWhole) {
    const std::string name(5000, 'n');
    parse_result got = parse_log_text(
        line("01.000", "1.1", "LOG:  execute " + name + ": SELECT $1") +
        line("01.000", "1.1", "DETAIL:  parameters: $1 = 'v'") +
        line("02.000", "1.1", "LOG:  execute " + name + ": SELECT $1"));
    EXPECT_EQ(got.texts(),
              (texts{"connect 0x100000001 1.000000 alice@shop",
                     "prepare 0x100000001 1.000000 \"" + name + "\": SELECT $1",
                     "exec_prepared 0x100000001 1.000000 \"" + name + "\" 'v'",
                     "exec_prepared 0x100000001 2.000000 \"" + name + "\"",
                     "disconnect 0x100000001 2.000000"}));
}

TEST_F(ParseProvider, AnExecutionEndingAtItsColonHasAnEmptyStatement) {
    // The line buffer holds older bytes behind the cut message; none of them
    // may end up in the statement.
    parse_result got = parse_log_text(line("01.000", "1.1", "LOG:  execute s1:") +
                                      line("01.000", "1.1", "LOG:  execute s2:x"));
    EXPECT_EQ(got.texts(), (texts{"connect 0x100000001 1.000000 alice@shop",
                                  "prepare 0x100000001 1.000000 \"s1\": ",
                                  "exec_prepared 0x100000001 1.000000 \"s1\"",
                                  "prepare 0x100000001 1.000000 \"s2\": ",
                                  "exec_prepared 0x100000001 1.000000 \"s2\"",
                                  "disconnect 0x100000001 1.000000"}));
}

TEST_F(ParseProvider, ReportsErrorsAndReturnsNull) {
    std::string too_many = "DETAIL:  parameters: $1 = NULL";
    for (int i = 1; i < 65535; ++i) too_many += ", $1 = NULL";
    struct row {
        std::string log;
        size_t items_before;
        std::string message;
    } rows[] = {
        {line("01.000", "1.1", "LOG:  connection authorized: user=alice") +
             line("02.000", "1.1", "LOG:  connection authorized: user=alice"),
         1, "Error: duplicate session ID 0x100000001\n"},
        {line("01.000", "1.1", "LOG:  execute s1 SELECT 1"), 0,
         "Error: missing statement name in line 1\n"},
        {line("01.000", "1.1", "LOG:  execute s1: SELECT 1") +
             line("01.000", "1.1", "DETAIL:  prepare: SELECT 1"),
         0, "Error: no parameters for prepared statement at line 2\n"},
        {line("01.000", "1.1", "LOG:  execute s1: SELECT $1") +
             line("01.000", "1.1", "DETAIL:  parameters: $1 = 42"),
         0, "Error: expected NULL in argument 0 in line 2\n"},
        {line("01.000", "1.1", "LOG:  execute s1: SELECT $1") + line("01.000", "1.1", too_many),
         0, "Error: more than 65534 bind arguments in line 2\n"},
        {line("01.000", "1.1", "LOG:  statement: SELECT 1") +
             line("02.000", "1.1", "LOG:  statement: SELECT 'open"),
         2, "Error: string literal not closed near line 2\nHint: retry with the -q option\n"},
        {line("01.000", "1.1", "LOG:  statement: SELECT 1") + line("02.000", "1.1", "LOG no type"),
         2, "Error parsing line 2: log message does not begin with a log type\n"},
    };
    for (const auto &row : rows) {
        parse_result got = parse_log_text(row.log);
        EXPECT_TRUE(got.failed) << row.message;
        EXPECT_EQ(got.items.size(), row.items_before) << row.message;
        EXPECT_EQ(got.messages, row.message);
        EXPECT_EQ(got.statistics, "") << row.message;
    }
}

TEST_F(ParseProvider, EveryAllocationFailureIsAReportedError) {
    // Fail each allocation in turn, until the run no longer reaches the
    // failing one.  Every failure must end the run cleanly (the sanitizer
    // build checks that nothing leaks); no run may lose data silently.
    // The jsonlog workload has a line that is not UTF-8, parsed in a copy.
    const std::string json_log =
        workload_json + json_record("2000-01-01 00:00:07.000 UTC", "bob", "shop", "b.2", "LOG",
                                    "statement: SELECT '\xe9'");
    for (const std::string *log : {&workload_stderr, &json_log}) {
        const parse_result full = parse_log_text(*log);
        ASSERT_FALSE(full.failed) << full.messages;
        long failing = 1;
        for (; failing < 2000; ++failing) {
            qr_fail_allocation_after(failing);
            parse_result got = parse_log_text(*log);
            qr_fail_allocation_after(0);
            if (!got.failed) {
                EXPECT_EQ(got.texts(), full.texts()) << "allocation " << failing;
                break;
            }
            EXPECT_NE(got.messages.find("Cannot allocate "), std::string::npos)
                << "allocation " << failing << ": " << got.messages;
            EXPECT_LT(got.items.size(), full.items.size());
        }
        EXPECT_GT(failing, 20) << "the workload allocates for every item";
        EXPECT_LT(failing, 2000);
    }
}

TEST_F(ParseProvider, DebugOutputFollowsTheParse) {
    const std::string log =
        line("01.000", "1.1", "LOG:  connection authorized: user=alice database=shop") +
        line("02.000", "2.1", "LOG:  statement: SELECT 1", "bob") +
        line("03.000", "3.1", "LOG:  statement: SELECT 3", "carol", "other") +
        line("04.000", "1.1", "LOG:  checkpoint starting: time");
    parse_result got = parse_log_text(log, {.database_filter = "\\shop\\", .debug_level = 2});
    const char *expected_in_order[] = {
        "Connection 0x100000001 found\n",
        "---------------------------\nItem: time       = 1.000000\n"
        "      session id = 0x100000001\n      type       = connect\n"
        "      user       = alice\n      database   = shop\n---------------------------\n",
        "Simple statement found\n",
        "Automatically generated connection\n",
        "Queue is not empty, returning top element\n",
        "Database \"other\" does not match filter, skipped log entry\n",
        "Skipped log entry\n",
        "End-of-file encountered, creating disconnect item for session 0x200000001\n",
        "End-of-file encountered, creating disconnect item for session 0x100000001\n",
        "End-of-file encountered, signal end\n",
    };
    size_t position = 0;
    for (const char *expected : expected_in_order) {
        size_t found = got.messages.find(expected, position);
        ASSERT_NE(found, std::string::npos) << expected << "\nin\n" << got.messages;
        position = found + strlen(expected);
    }

    parse_result traced = parse_log_text(log, {.debug_level = 3});
    auto count = [&](const std::string &text) {
        size_t n = 0;
        for (size_t at = traced.messages.find(text); at != std::string::npos;
             at = traced.messages.find(text, at + 1))
            ++n;
        return n;
    };
    // Eight items and two end signals, each one call.
    EXPECT_EQ(count("Entering parse_provider\n"), 10u);
    EXPECT_EQ(count("Leaving parse_provider\n"), 10u);
    EXPECT_EQ(count("Entering parse_provider_finish\n"), 1u);
    EXPECT_EQ(count("Leaving parse_provider_finish\n"), 1u);
}

TEST_F(ParseProvider, FinishReportsTheLogThatWasNeverOpened) {
    parse_result got = parse_log_file("/nonexistent/quillrun.log");
    EXPECT_TRUE(got.failed);
    EXPECT_EQ(got.messages,
              "Error opening input file: No such file or directory\n"
              "Error closing input file:: Bad file descriptor\n");
    EXPECT_EQ(got.statistics, "");
}

}  // namespace
