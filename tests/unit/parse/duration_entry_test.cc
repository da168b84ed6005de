// Logs written with log_min_duration_statement: statements logged when they
// end, with their durations, read back in the order in which they began.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "support/provider_run.h"
#include "support/utc_test.h"

namespace {

using texts = std::vector<std::string>;

class DurationEntries : public utc_test {};

// One entry of the first minute of 2000 (seconds such as "05.250").
struct entry {
    const char *seconds, *session, *level, *message, *detail = "";
};

std::string time_of(const entry &e) {
    return std::string("2000-01-01 00:00:") + e.seconds + " UTC";
}

std::string stderr_log(const std::vector<entry> &entries) {
    std::string log;
    for (const entry &e : entries) {
        std::string prefix = time_of(e) + "|alice|shop|" + e.session + "|";
        log += prefix + e.level + ":  " + e.message + "\n";
        if (*e.detail != '\0') log += prefix + "DETAIL:  " + e.detail + "\n";
    }
    return log;
}

std::string records(const std::vector<entry> &entries, decltype(&csv_record) make) {
    std::string log;
    for (const entry &e : entries)
        log += make(time_of(e), "alice", "shop", e.session, e.level, e.message, e.detail);
    return log;
}

struct format_case {
    const char *name;
    std::string log;
    parse_options options;
};

std::vector<format_case> all_formats(const std::vector<entry> &entries) {
    return {{"stderr", stderr_log(entries), {}},
            {"csv", records(entries, csv_record), {.csv = true}},
            {"jsonlog", records(entries, json_record), {}}};
}

std::vector<int64_t> durations_of(const parse_result &got) {
    std::vector<int64_t> durations;
    for (const parsed_item &item : got.items) durations.push_back(item.recorded_duration);
    return durations;
}

// Session a runs a statement that ends after b's, c's first statement is
// estimated to begin before its connection (time stamps are cut to the
// millisecond), parse and bind steps carry no item of their own.
const std::vector<entry> durations_only = {
    {"05.000", "a.1", "LOG", "connection authorized: user=alice database=shop"},
    {"05.010", "b.2", "LOG", "connection authorized: user=alice database=shop"},
    {"05.020", "b.2", "LOG", "duration: 0.500 ms  statement: BEGIN"},
    {"05.900", "b.2", "LOG", "duration: 100.000 ms  parse s1: SELECT $1"},
    {"05.901", "b.2", "LOG", "duration: 0.010 ms  bind s1: SELECT $1", "parameters: $1 = '1'"},
    {"05.950", "b.2", "LOG", "duration: 1.000 ms  execute s1: SELECT $1", "parameters: $1 = '1'"},
    {"06.000", "a.1", "LOG", "duration: 900.000 ms  statement: SELECT pg_sleep(0.9)"},
    {"06.001", "b.2", "LOG", "disconnection: session time: 0:00:00.991 user=alice"},
    {"06.002", "a.1", "LOG", "duration: 1.500 ms  execute <unnamed>: UPDATE t SET x = $1",
     "parameters: $1 = '2'"},
    {"07.000", "c.3", "LOG", "connection authorized: user=alice database=shop"},
    {"07.000", "c.3", "LOG", "duration: 0.700 ms  statement: SET x = 1"},
};

TEST_F(DurationEntries, StatementsComeInStartOrderWithTheirDurationsInEveryFormat) {
    const texts expected = {
        "connect 0xa00000001 5.000000 alice@shop",
        "connect 0xb00000002 5.010000 alice@shop",
        "execute 0xb00000002 5.019500 BEGIN",
        "execute 0xa00000001 5.100000 SELECT pg_sleep(0.9)",
        "prepare 0xb00000002 5.949000 \"s1\": SELECT $1",
        "exec_prepared 0xb00000002 5.949000 \"s1\" '1'",
        "prepare 0xa00000001 6.000500 \"\": UPDATE t SET x = $1",
        "exec_prepared 0xa00000001 6.000500 \"\" '2'",
        "disconnect 0xb00000002 6.001000",
        "connect 0xc00000003 7.000000 alice@shop",
        "execute 0xc00000003 7.000000 SET x = 1",
        // After everything held, at the latest entry's time.
        "disconnect 0xa00000001 7.000000",
        "disconnect 0xc00000003 7.000000",
    };
    const std::vector<int64_t> durations = {-1, -1, 500,  900000, -1, 1000, -1,
                                            1500, -1, -1, 700, -1, -1};
    for (const format_case &format : all_formats(durations_only)) {
        SCOPED_TRACE(format.name);
        parse_result got = parse_log_text(format.log, format.options);
        ASSERT_FALSE(got.failed) << got.messages;
        EXPECT_EQ(got.texts(), expected);
        EXPECT_EQ(durations_of(got), durations);
        EXPECT_EQ(got.messages, "");
        EXPECT_NE(got.statistics.find("Total SQL statements processed: 5\n"), std::string::npos)
            << got.statistics;
        EXPECT_NE(got.statistics.find("Duration of recorded workload: 2.000 seconds\n"),
                  std::string::npos)
            << got.statistics;
    }
}

// log_statement = 'all' wrote the statements when they began; the bare
// duration entries after them only carry their durations.  Parse and bind
// steps still come with their text.
TEST_F(DurationEntries, WithLogStatementTheBareDurationsOnlyCarryTheDuration) {
    const std::vector<entry> both = {
        {"05.000", "a.1", "LOG", "connection authorized: user=alice database=shop"},
        {"05.001", "a.1", "LOG", "statement: SET x = 1"},
        {"05.002", "a.1", "LOG", "duration: 0.300 ms"},
        {"05.010", "a.1", "LOG", "statement: BEGIN"},
        {"05.011", "b.2", "LOG", "statement: SELECT 1"},
        {"05.012", "a.1", "LOG", "duration: 0.200 ms"},
        {"05.013", "a.1", "LOG", "duration: 0.050 ms  parse <unnamed>: UPDATE t SET x = $1"},
        {"05.014", "a.1", "LOG", "duration: 0.020 ms  bind <unnamed>: UPDATE t SET x = $1",
         "parameters: $1 = '5'"},
        {"05.014", "a.1", "LOG", "execute <unnamed>: UPDATE t SET x = $1", "parameters: $1 = '5'"},
        {"05.016", "b.2", "LOG", "duration: 4.000 ms"},
        {"05.017", "a.1", "LOG", "duration: 2.500 ms"},
        // Nothing is waiting for it any more.
        {"05.018", "a.1", "LOG", "duration: 9.000 ms"},
    };
    const texts expected = {
        "connect 0xa00000001 5.000000 alice@shop",
        "execute 0xa00000001 5.001000 SET x = 1",
        "execute 0xa00000001 5.010000 BEGIN",
        "connect 0xb00000002 5.011000 alice@shop",
        "execute 0xb00000002 5.011000 SELECT 1",
        "prepare 0xa00000001 5.014000 \"\": UPDATE t SET x = $1",
        "exec_prepared 0xa00000001 5.014000 \"\" '5'",
        "disconnect 0xa00000001 5.014000",
        "disconnect 0xb00000002 5.014000",
    };
    // The first statement was handed on before the log showed that it has
    // duration entries.
    const std::vector<int64_t> durations = {-1, -1, 200, -1, 4000, -1, 2500, -1, -1};
    for (const format_case &format : all_formats(both)) {
        SCOPED_TRACE(format.name);
        parse_result got = parse_log_text(format.log, format.options);
        ASSERT_FALSE(got.failed) << got.messages;
        EXPECT_EQ(got.texts(), expected);
        EXPECT_EQ(durations_of(got), durations);
        EXPECT_EQ(got.messages, "");
        EXPECT_NE(got.statistics.find("Total SQL statements processed: 4\n"), std::string::npos)
            << got.statistics;
    }
}

// Statements that ran longer than the window are handed on late, with one
// warning, and never dropped.
TEST_F(DurationEntries, AStatementLongerThanTheWindowIsHandedOnLateWithOneWarning) {
    const std::vector<entry> log = {
        {"05.000", "a.1", "LOG", "connection authorized: user=alice database=shop"},
        {"05.000", "b.2", "LOG", "connection authorized: user=alice database=shop"},
        {"05.100", "b.2", "LOG", "duration: 0.100 ms  statement: SELECT 1"},
        {"08.000", "b.2", "LOG", "duration: 0.100 ms  statement: SELECT 2"},
        {"19.000", "b.2", "LOG", "duration: 0.100 ms  statement: SELECT 3"},
        {"21.000", "a.1", "LOG", "duration: 15000.000 ms  statement: SELECT pg_sleep(15)"},
        {"22.000", "a.1", "LOG", "duration: 1000.000 ms  statement: SELECT pg_sleep(1)"},
        {"40.000", "b.2", "LOG", "duration: 0.100 ms  statement: SELECT 4"},
    };
    const texts expected = {
        "connect 0xa00000001 5.000000 alice@shop",
        "connect 0xb00000002 5.000000 alice@shop",
        "execute 0xb00000002 5.099900 SELECT 1",
        "execute 0xb00000002 7.999900 SELECT 2",
        "execute 0xa00000001 6.000000 SELECT pg_sleep(15)",
        "execute 0xb00000002 18.999900 SELECT 3",
        "execute 0xa00000001 21.000000 SELECT pg_sleep(1)",
        "execute 0xb00000002 39.999900 SELECT 4",
        "disconnect 0xa00000001 40.000000",
        "disconnect 0xb00000002 40.000000",
    };
    parse_result got = parse_log_text(stderr_log(log));
    ASSERT_FALSE(got.failed) << got.messages;
    EXPECT_EQ(got.texts(), expected);
    EXPECT_EQ(got.messages,
              "Warning: the statement in line 6 is replayed after statements that began later: "
              "it ran longer than the reordering window of 10 seconds (0.2 seconds for the first "
              "statement of a session not seen before), or the window was full "
              "(64 MB)\n");
}

// While every open session keeps writing entries, an item need not wait
// out the whole window: once each of them has moved past its start it
// leaves.  A session that stays silent holds the window back, since its
// statement may still be running.
TEST_F(DurationEntries, AnItemLeavesOnceEverySessionHasMovedPastItsStart) {
    std::vector<std::string> seconds, messages;
    for (int i = 0; i < 60; ++i) {
        char text[16];
        snprintf(text, sizeof text, "%02d.%03d", 5 + (100 + 50 * i) / 1000, (100 + 50 * i) % 1000);
        seconds.push_back(text);
        messages.push_back("duration: 0.100 ms  statement: SELECT " + std::to_string(i));
    }
    auto log_with = [&](bool silent_session) {
        std::vector<entry> log = {
            {"05.000", "a.1", "LOG", "connection authorized: user=alice database=shop"},
            {"05.000", "b.2", "LOG", "connection authorized: user=alice database=shop"}};
        if (silent_session)
            log.push_back({"05.000", "c.3", "LOG", "connection authorized: user=alice database=shop"});
        for (size_t i = 0; i < seconds.size(); ++i)
            log.push_back({seconds[i].c_str(), i % 2 ? "b.2" : "a.1", "LOG", messages[i].c_str()});
        if (silent_session)
            log.push_back({"08.500", "c.3", "LOG", "duration: 0.100 ms  statement: SELECT 'c'"});
        return stderr_log(log);
    };
    struct row {
        const char *what;
        bool silent_session;
        unsigned long fewest_lines, most_lines;  // read when SELECT 0 left
    } rows[] = {
        {"busy sessions", false, 3, 12},
        {"one silent session", true, 64, 64},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        parse_result got = parse_log_text(log_with(r.silent_session));
        ASSERT_FALSE(got.failed) << got.messages;
        EXPECT_EQ(got.messages, "");
        auto first = std::find_if(got.items.begin(), got.items.end(), [](const parsed_item &item) {
            return item.type == pg_execute;
        });
        ASSERT_NE(first, got.items.end());
        EXPECT_EQ(first->text(), "execute 0xa00000001 5.099900 SELECT 0");
        EXPECT_GE(first->lines_read, r.fewest_lines);
        EXPECT_LE(first->lines_read, r.most_lines);
    }
}

// A session that has not been seen (a log without connection entries)
// cannot hold the window back: its first statement stays in order only if
// it began at most 0.2 seconds before the newest entry.
TEST_F(DurationEntries, TheFirstStatementOfAnUnseenSessionIsOnlyWaitedForBriefly) {
    struct row {
        const char *what;
        const char *first_statement;
        bool late;
    } rows[] = {
        {"began 0.15 s before", "duration: 150.000 ms  statement: SELECT 'd'", false},
        {"began 1.5 s before", "duration: 1500.000 ms  statement: SELECT 'd'", true},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<std::string> seconds, messages;
        std::vector<entry> log;
        for (int i = 0; i < 40; ++i) {
            char text[16];
            snprintf(text, sizeof text, "%02d.%03d", 5 + 50 * i / 1000, 50 * i % 1000);
            seconds.push_back(text);
            messages.push_back("duration: 0.100 ms  statement: SELECT " + std::to_string(i));
        }
        for (size_t i = 0; i < seconds.size(); ++i)
            log.push_back({seconds[i].c_str(), i % 2 ? "b.2" : "a.1", "LOG", messages[i].c_str()});
        log.push_back({"07.000", "d.4", "LOG", r.first_statement});
        parse_result got = parse_log_text(stderr_log(log));
        ASSERT_FALSE(got.failed) << got.messages;
        std::vector<int64_t> starts;
        for (const parsed_item &item : got.items)
            if (item.type == pg_execute)
                starts.push_back(item.time.tv_sec * 1000000LL + item.time.tv_usec);
        EXPECT_EQ(std::is_sorted(starts.begin(), starts.end()), !r.late);
        EXPECT_EQ(got.messages.find("Warning: the statement in line 41 is replayed after") == 0,
                  r.late)
            << got.messages;
    }
}

// Past its bound in bytes the window hands on its earliest items before
// their time is up: a statement that began before them then follows late.
TEST_F(DurationEntries, AFullWindowHandsOnItsEarliestItemsEarly) {
    const std::string big = "SELECT '" + std::string(1 << 20, 'x') + "'";
    std::vector<std::string> messages;
    for (int i = 0; i < 70; ++i) messages.push_back("duration: 0.100 ms  statement: " + big);
    std::vector<entry> log = {
        {"05.000", "a.1", "LOG", "connection authorized: user=alice database=shop"},
        {"05.000", "b.2", "LOG", "connection authorized: user=alice database=shop"}};
    for (const std::string &message : messages)
        log.push_back({"06.000", "b.2", "LOG", message.c_str()});
    // Began at 5.500, within the time window of everything above.
    log.push_back({"07.000", "a.1", "LOG", "duration: 1500.000 ms  statement: SELECT 1"});
    parse_result got = parse_log_text(stderr_log(log));
    ASSERT_FALSE(got.failed) << got.messages;
    ASSERT_EQ(got.items.size(), 2u + 70u + 1u + 2u);
    EXPECT_EQ(got.items[72].text(), "execute 0xa00000001 5.500000 SELECT 1");
    EXPECT_EQ(got.messages,
              "Warning: the statement in line 73 is replayed after statements that began later: "
              "it ran longer than the reordering window of 10 seconds (0.2 seconds for the first "
              "statement of a session not seen before), or the window was full "
              "(64 MB)\n");
}

TEST_F(DurationEntries, DamagedDurationEntriesAreErrorsNamingTheLine) {
    const char *connection = "connection authorized: user=alice database=shop";
    struct row {
        const char *message;
        const char *error;
    } rows[] = {
        {"duration: abc ms  statement: SELECT 1", "Error: malformed duration entry in line 2\n"},
        {"duration: 1.000  statement: SELECT 1", "Error: malformed duration entry in line 2\n"},
        {"duration: -1.000 ms  statement: SELECT 1", "Error: malformed duration entry in line 2\n"},
        {"duration: 1. ms  statement: SELECT 1", "Error: malformed duration entry in line 2\n"},
        {"duration: 99999999999999.000 ms  statement: SELECT 1",
         "Error: malformed duration entry in line 2\n"},
        {"duration: 1.000 msstatement: SELECT 1", "Error: malformed duration entry in line 2\n"},
        {"duration: 1.000 ms  ", "Error: malformed duration entry in line 2\n"},
        {"duration: 1.000 ms  execute", "Error: missing statement name in line 2\n"},
        {"duration: 1.000 ms  execute s1 SELECT 1", "Error: missing statement name in line 2\n"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.message);
        // Records: no look-ahead shifts the line numbers.
        const std::vector<entry> log = {{"05.000", "a.1", "LOG", connection},
                                        {"05.001", "a.1", "LOG", r.message}};
        parse_result got = parse_log_text(records(log, csv_record), {.csv = true});
        EXPECT_TRUE(got.failed);
        EXPECT_EQ(got.messages, r.error);
        EXPECT_EQ(got.statistics, "");
    }
}

// What the server's logging settings left out is named once, at the end,
// with the setting that records it; a complete log gets no warning.
TEST_F(DurationEntries, GapsInTheWorkloadAreWarnedAboutOnce) {
    const char *connect = "connection authorized: user=alice database=shop";
    struct row {
        const char *what;
        std::vector<entry> log;
        const char *warning;  // "" for none
    } rows[] = {
        {"connections only",
         {{"05.000", "a.1", "LOG", connect}, {"05.000", "b.2", "LOG", connect}},
         "Warning: the log holds 2 sessions but no statements: the server records them with "
         "log_statement = 'all' or log_min_duration_statement = 0\n"},
        {"log_statement = 'ddl'",
         {{"05.000", "a.1", "LOG", "statement: CREATE TABLE t (x int)"},
          {"05.100", "a.1", "LOG", "statement: /* c */ DROP TABLE u"}},
         "Warning: all 2 statements of the log change the schema, as log_statement = 'ddl' "
         "records them: the other statements are missing; log_statement = 'all' records them\n"},
        {"log_statement = 'mod'",
         {{"05.000", "a.1", "LOG", "statement: CREATE TABLE t (x int)"},
          {"05.100", "a.1", "LOG", "execute s1: INSERT INTO t VALUES ($1)",
           "parameters: $1 = '1'"},
          {"05.200", "a.1", "LOG", "statement: update t set x = 2"}},
         "Warning: all 3 statements of the log change data or the schema, as log_statement = "
         "'mod' records them: the other statements are missing; log_statement = 'all' records "
         "them\n"},
        {"log_min_duration_statement = 250",
         {{"05.300", "a.1", "LOG", "duration: 300.000 ms  statement: SELECT slow()"},
          {"07.000", "a.1", "LOG", "duration: 251.500 ms  statement: SELECT slower()"}},
         "Warning: the shortest of the 2 statements of the log took 251.500 ms, as if "
         "log_min_duration_statement were above 0: faster statements are missing; "
         "log_min_duration_statement = 0 records them\n"},
        {"failed statements",
         {{"05.000", "a.1", "LOG", "duration: 0.100 ms  statement: BEGIN"},
          {"05.100", "a.1", "ERROR", "division by zero"},
          {"05.100", "a.1", "STATEMENT", "SELECT 1/0"},
          {"05.200", "a.1", "LOG", "duration: 0.020 ms  statement: ROLLBACK"}},
         "Warning: 1 statements failed on the recorded server and are not replayed: duration "
         "entries leave out failed statements; log_statement = 'all' records them\n"},
        {"log_statement = 'all' with a failure",
         {{"05.000", "a.1", "LOG", "statement: CREATE TABLE t (x int)"},
          {"05.100", "a.1", "LOG", "statement: SELECT 1/0"},
          {"05.100", "a.1", "ERROR", "division by zero"}},
         ""},
        {"log_min_duration_statement = 0",
         {{"05.000", "a.1", "LOG", "duration: 0.010 ms  statement: BEGIN"},
          {"05.100", "a.1", "LOG", "duration: 4.000 ms  statement: UPDATE t SET x = 1"}},
         ""},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        parse_result got = parse_log_text(stderr_log(r.log));
        EXPECT_FALSE(got.failed) << got.messages;
        EXPECT_EQ(got.messages, r.warning);
        EXPECT_NE(got.statistics, "");
    }
}

}  // namespace
