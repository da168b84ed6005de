// Setting up a replay: the connect strings, the open-file limit, and the
// dry run with its report.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "database/connect_string.h"
#include "database/database_state.h"
#include "quillrun/alloc.h"
#include "quillrun/database.h"
#include "quillrun/settings.h"
#include "support/capture.h"

namespace {

std::string owned(char *text) {
    std::string copy = text != nullptr ? text : "(null)";
    free(text);
    return copy;
}

TEST(ConnectString, SharedOptionsAreQuotedAndEscaped) {
    struct row {
        const char *host;
        int port;
        const char *password;
        const char *extra;
        const char *expected;
    } rows[] = {
        {nullptr, -1, nullptr, nullptr, ""},
        {nullptr, 5432, nullptr, nullptr, "port=5432"},
        {nullptr, 65535, "pw", "sslmode=disable", "port=65535 password='pw' sslmode=disable"},
        {"db1", -1, nullptr, nullptr, " host='db1'"},
        {"/tmp/it's\\here", 1, "a'b\\c''", nullptr,
         "port=1 host='/tmp/it\\'s\\\\here' password='a\\'b\\\\c\\'\\''"},
        {nullptr, -1, nullptr, "", " "},
        {nullptr, -1, nullptr, "application_name='x y'", " application_name='x y'"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.expected);
        EXPECT_EQ(owned(build_connect_string(r.host, r.port, r.password, r.extra)), r.expected);
    }
}

TEST(ConnectString, SessionAddsEscapedUserAndDatabase) {
    EXPECT_EQ(owned(build_session_conninfo("", "alice", "shop")), " user='alice' dbname='shop'");
    EXPECT_EQ(owned(build_session_conninfo("port=1", "o'b\\x", "''")),
              "port=1 user='o\\'b\\\\x' dbname='\\'\\''");
    EXPECT_EQ(escaped_length("a'\\b"), 6u);
}

// What debug output shows: the same text with *** for every secret, from
// -W or inside -X, however it is quoted there.
TEST(ConnectString, ShownTextHidesEveryPassword) {
    struct row {
        const char *what;
        const char *password;
        const char *extra;
        const char *expected;
    } rows[] = {
        {"-W", "s3cr'et", nullptr, "port=1 host='h' password='***'"},
        {"no secret in -X: unchanged", nullptr, "connect_timeout = 5  sslmode=disable",
         "port=1 host='h' connect_timeout = 5  sslmode=disable"},
        {"password in -X", nullptr, "connect_timeout=5 password=s3cret",
         "port=1 host='h' password='***' connect_timeout='5'"},
        {"quoted with blanks and escapes", "s3cret", "password = 'a s3cret\\'s' sslmode=disable",
         "port=1 host='h' password='***' password='***' sslmode='disable'"},
        {"key passphrase", nullptr, "sslpassword=s3cret",
         "port=1 host='h' sslpassword='***'"},
        {"unparsable, with a password", nullptr, "password='s3cret",
         "port=1 host='h' ***"},
        {"unparsable, without one", nullptr, "connect_timeout", "port=1 host='h' connect_timeout"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        std::string shown = owned(build_shown_connect_string("h", 1, r.password, r.extra));
        EXPECT_EQ(shown, r.expected);
        EXPECT_EQ(shown.find("s3cr"), std::string::npos);
    }
}

class ConsumerInit : public ::testing::Test {
protected:
    void TearDown() override {
        qr_fail_allocation_after(0);
        extra_connstr = nullptr;
        reset_replay_state();
    }
};

TEST_F(ConsumerInit, PrintsTheConnectStringWithoutThePasswordFromDebugTwo) {
    const std::string line =
        "Database connect string: \"port=5433 host='h\\'ost' password='***' "
        "connect_timeout=5\"\n";
    struct row {
        int level;
        std::string expected;
    } rows[] = {
        {0, ""},
        {1, ""},
        {2, line},
        {3, "Entering database_consumer_init\n" + line +
                "Leaving database_consumer_init\n"
                "Entering database_consumer_finish\nLeaving database_consumer_finish\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.level);
        debug_level_scope debug(r.level);
        extra_connstr = "connect_timeout=5";
        stream_capture err(stderr);
        EXPECT_EQ(database_consumer_init(nullptr, "h'ost", 5433, "s3cr'et", 1.0), 1);
        database_consumer_finish(0);
        EXPECT_EQ(err.stop(), r.expected);
        reset_replay_state();
    }
}

TEST_F(ConsumerInit, FailedAllocationIsReported) {
    qr_fail_allocation_after(1);
    stream_capture err(stderr);
    EXPECT_EQ(database_consumer_init(nullptr, "abc", -1, nullptr, 1.0), 0);
    EXPECT_EQ(err.stop(), "Cannot allocate 23 bytes of memory\n");
}

TEST_F(ConsumerInit, RaisesTheOpenFileLimitToTheHardLimit) {
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max <= 256) GTEST_SKIP() << "hard limit too low to lower the soft one";
    struct rlimit lowered = {256, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    EXPECT_EQ(database_consumer_init(nullptr, nullptr, -1, nullptr, 1.0), 1);
    struct rlimit now;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &now), 0);
    EXPECT_EQ(now.rlim_cur, saved.rlim_max);
    setrlimit(RLIMIT_NOFILE, &saved);
}

// The replay report from known counters.  The run time is set through the
// start time: 100 s ago, or in the future to leave out the per-second lines.
TEST_F(ConsumerInit, ReplayReportPrintsEveryLineInItsFormat) {
    struct row {
        int64_t started_seconds_ago;
        std::string expected_after_run_time;
    } rows[] = {
        {100,
         "Maximum lag behind schedule: 12 seconds\n"
         "Calls to the server: 3\n"
         "(0.030 calls per second)\n"
         "Total number of connections: 1\n"
         "Maximum number of concurrent connections: 1\n"
         "Average number of concurrent connections: 0.020\n"
         "Average session idle percentage: 75.000%\n"
         "SQL statements executed: 2\n"
         "(1 or 50.000% of these completed with error)\n"
         "Maximum number of concurrent SQL statements: 2\n"
         "Average number of concurrent SQL statements: 0.005\n"
         "Average SQL statement duration: 0.167 seconds\n"
         "Maximum SQL statement duration: 0.300 seconds\n"
         "Statement duration histogram:\n"
         "  0    to 0.02 seconds: 33.333%\n"
         "  0.02 to 0.1  seconds: 0.000%\n"
         "  0.1  to 0.5  seconds: 66.667%\n"
         "  0.5  to 2    seconds: 0.000%\n"
         "     over 2    seconds: 0.000%\n"},
        {-100,
         "Maximum lag behind schedule: 12 seconds\n"
         "Calls to the server: 3\n"
         "Total number of connections: 1\n"
         "Maximum number of concurrent connections: 1\n"
         "Average session idle percentage: 75.000%\n"
         "SQL statements executed: 2\n"
         "(1 or 50.000% of these completed with error)\n"
         "Maximum number of concurrent SQL statements: 2\n"
         "Average SQL statement duration: 0.167 seconds\n"
         "Maximum SQL statement duration: 0.300 seconds\n"
         "Statement duration histogram:\n"
         "  0    to 0.02 seconds: 33.333%\n"
         "  0.02 to 0.1  seconds: 0.000%\n"
         "  0.1  to 0.5  seconds: 66.667%\n"
         "  0.5  to 2    seconds: 0.000%\n"
         "     over 2    seconds: 0.000%\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.started_seconds_ago);
        ASSERT_EQ(database_consumer_init(nullptr, nullptr, -1, nullptr, 0.5), 1);
        database_state &state = replay_state();
        state.start_time.seconds -= r.started_seconds_ago;
        state.counters.stat_max_lag = 12;
        state.counters.stat_calls = 3;
        state.counters.stat_connections = state.counters.stat_max_connections = 1;
        state.counters.stat_results = 3;  // one prepare, two statements
        state.counters.stat_prepares = 1;
        state.counters.stat_errors = 1;
        state.counters.stat_max_statements = 2;
        state.counters.stat_statement_time = {0, 500000};
        state.counters.stat_max_statement_time = {0, 300000};
        state.counters.stat_connection_time = {2, 0};
        state.counters.stat_histogram[0] = 1;
        state.counters.stat_histogram[2] = 2;
        stream_capture out(stdout);
        stats_stream = stdout;
        database_consumer_finish(0);
        stats_stream = nullptr;
        std::string report = out.stop();
        const std::string head =
            "\nReplay statistics\n=================\n\nSpeed factor for replay: 0.500\n"
            "Total run time:";
        ASSERT_TRUE(report.starts_with(head)) << report;
        size_t run_time_end = report.find('\n', head.size());
        EXPECT_EQ(report.substr(run_time_end + 1), r.expected_after_run_time);
        reset_replay_state();
    }
}

// Items of a recorded workload, at base + t seconds.
struct workload {
    std::vector<replay_item *> items;
    static constexpr time_t base = 700000000;
    static timeval at(double t) {
        long micro = std::lround(t * 1e6);
        return {base + micro / 1000000, micro % 1000000};
    }
    void connect(double t, uint64_t s) {
        timeval tv = at(t);
        items.push_back(replay_create_connect(&tv, s, "u", "d"));
    }
    void disconnect(double t, uint64_t s) {
        timeval tv = at(t);
        items.push_back(replay_create_disconnect(&tv, s));
    }
    void execute(double t, uint64_t s) {
        timeval tv = at(t);
        items.push_back(replay_create_execute(&tv, s, "select 1"));
    }
    void prepare(double t, uint64_t s) {
        timeval tv = at(t);
        items.push_back(replay_create_prepare(&tv, s, "p", "select $1"));
    }
    void exec_prepared(double t, uint64_t s) {
        timeval tv = at(t);
        const char *values[] = {"1"};
        items.push_back(replay_create_exec_prepared(&tv, s, "p", 1, values));
    }
    void cancel(double t, uint64_t s) {
        timeval tv = at(t);
        items.push_back(replay_create_cancel(&tv, s));
    }
};

class DryRun : public ::testing::Test {
protected:
    void TearDown() override {
        stats_stream = nullptr;
        reset_replay_state();
    }
    // Runs the items through the dry run with a speed factor that must not
    // matter; returns the report.
    std::string run(workload &w) {
        stream_capture out(stdout);
        stats_stream = stdout;
        EXPECT_EQ(database_consumer_init(nullptr, nullptr, -1, nullptr, 3.0), 1);
        for (replay_item *item : w.items) EXPECT_EQ(database_consumer_dry_run(item), 1);
        database_consumer_finish(1);
        return out.stop();
    }
};

TEST_F(DryRun, CountsEveryKindOfItemAndPrintsItsReport) {
    workload w;
    for (uint64_t s = 1; s <= 3; ++s) w.connect(0.5 * s, s);
    for (int i = 0; i < 10; ++i) w.execute(2 + i, 1 + i % 3);
    w.prepare(12, 1);
    w.prepare(13, 2);
    for (int i = 0; i < 5; ++i) w.exec_prepared(14 + i, 1);
    w.cancel(20, 2);
    for (uint64_t s = 1; s <= 3; ++s) w.disconnect(3720 + 5.25 + s, s);
    EXPECT_EQ(run(w),
              "\nReplay statistics (dry run)\n"
              "===========================\n\n"
              "Duration of recorded workload: 1 hours 2 minutes 7.750 seconds\n"
              "Calls to the server: 24\n"
              "Total number of connections: 3\n"
              "Maximum number of concurrent connections: 3\n"
              "SQL statements executed: 15\n");
}

// Time that runs backwards in a log (a clock set back) never makes the
// recorded span negative: it runs from the earliest item to the latest.
TEST_F(DryRun, RecordedDurationSpansTheEarliestToTheLatestItem) {
    workload w;
    w.connect(10, 1);
    w.execute(14.5, 1);
    w.execute(2, 1);
    w.disconnect(3, 1);
    EXPECT_NE(run(w).find("Duration of recorded workload: 12.500 seconds\n"), std::string::npos);
}

TEST_F(DryRun, ConcurrencyFollowsTheItemOrder) {
    struct row {
        const char *what;
        std::vector<int> sequence;  // +s connects session s, -s disconnects it
        const char *expected_maximum;
    } rows[] = {
        {"overlapping", {1, 2, -1, -2}, "Maximum number of concurrent connections: 2\n"},
        {"one after the other", {1, -1, 2, -2}, "Maximum number of concurrent connections: 1\n"},
        {"disconnects without connects", {-1, -2, 3}, "Maximum number of concurrent connections: 1\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        workload w;
        double t = 0;
        for (int s : r.sequence) {
            if (s > 0)
                w.connect(t, s);
            else
                w.disconnect(t, -s);
            t += 1;
        }
        std::string report = run(w);
        EXPECT_NE(report.find(r.expected_maximum), std::string::npos) << report;
        EXPECT_NE(report.find("Duration of recorded workload: " +
                              std::to_string(r.sequence.size() - 1) + ".000 seconds\n"),
                  std::string::npos)
            << report;
        reset_replay_state();
    }
}

}  // namespace
