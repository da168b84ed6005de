// Replays against a real PostgreSQL server.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "database/database_state.h"
#include "database/session_connections.h"
#include "database/timer_slack.h"
#include "quillrun/database.h"
#include "replay_harness.h"

namespace {

class Replay : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server = new pg_server(false, {"max_connections = 1200"}); }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void TearDown() override { reset_replay_state(); }

    static const database_state &stats() { return replay_state(); }
    static pg_server *server;
};

pg_server *Replay::server = nullptr;

uint64_t histogram_total(const database_state &state) {
    uint64_t total = 0;
    for (uint64_t count : state.counters.stat_histogram) total += count;
    return total;
}

size_t occurrences(const std::string &text, const std::string &what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

const std::string histogram_pattern =
    "Statement duration histogram:\n"
    "  0    to 0.02 seconds: #%\n"
    "  0.02 to 0.1  seconds: #%\n"
    "  0.1  to 0.5  seconds: #%\n"
    "  0.5  to 2    seconds: #%\n"
    "     over 2    seconds: #%\n";

TEST_F(Replay, StatementsResultsAndErrorsAreCountedAndReported) {
    script s;
    s.connect(0, 0x11)
        .execute(0, 0x11, "select 1")
        .execute(0, 0x11, "select 1; select 2")
        .execute(0, 0x11, "select * from no_such_table")
        .execute(0, 0x11, "select 3")
        .disconnect(0, 0x11);
    replay_run run = replay(*server, s, at_debug(1));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("Error message session 0x11: ERROR:  relation \"no_such_table\" does "
                           "not exist\n"),
              std::string::npos)
        << run.err;
    EXPECT_TRUE(matches_report("\nReplay statistics\n"
                               "=================\n\n"
                               "Speed factor for replay: 1.000\n"
                               "Total run time: # seconds\n"
                               "Maximum lag behind schedule: # seconds\n"
                               "Calls to the server: 6\n"
                               "(# calls per second)\n"
                               "Total number of connections: 1\n"
                               "Maximum number of concurrent connections: 1\n"
                               "Average number of concurrent connections: #\n"
                               "Average session idle percentage: #%\n"
                               "SQL statements executed: 5\n"
                               "(1 or 20.000% of these completed with error)\n"
                               "Maximum number of concurrent SQL statements: 1\n"
                               "Average number of concurrent SQL statements: #\n"
                               "Average SQL statement duration: # seconds\n"
                               "Maximum SQL statement duration: # seconds\n" +
                                   histogram_pattern,
                               run.out))
        << run.out;
    EXPECT_EQ(stats().counters.stat_results, 5u);
    EXPECT_EQ(stats().counters.stat_errors, 1u);
    EXPECT_EQ(histogram_total(stats()), 4u);  // four requests, one with two results
    EXPECT_EQ(stats().counters.stat_open_statements, 0u);
    EXPECT_EQ(stats().counters.stat_open_connections, 0u);
    EXPECT_LE(stats().counters.stat_max_lag, 1);
}

TEST_F(Replay, ReportLeavesOutWhatWasNotMeasured) {
    const std::string head =
        "\nReplay statistics\n=================\n\nSpeed factor for replay: 1.000\n"
        "Total run time: # seconds\nMaximum lag behind schedule: # seconds\n";
    struct row {
        const char *what;
        std::function<void(script &)> build;
        std::string pattern;
        const char *err;
    } rows[] = {
        {"no statements",
         [](script &s) { s.connect(0, 1).disconnect(0, 1); },
         head + "Calls to the server: 2\n(# calls per second)\nTotal number of connections: 1\n"
                "Maximum number of concurrent connections: 1\n"
                "Average number of concurrent connections: #\n"
                "Average session idle percentage: 100.000%\nSQL statements executed: 0\n",
         ""},
        {"prepares only",
         [](script &s) { s.connect(0, 1).prepare(0, 1, "p", "select $1::int").disconnect(0, 1); },
         head + "Calls to the server: 3\n(# calls per second)\nTotal number of connections: 1\n"
                "Maximum number of concurrent connections: 1\n"
                "Average number of concurrent connections: #\n"
                "Average session idle percentage: #%\nSQL statements executed: 0\n",
         ""},
        {"a request still in flight at the end",
         [](script &s) {
             s.connect(0, 1)
                 // The notice makes the server send the first result at once.
                 .execute(0, 1,
                          "select 1; do $$ begin raise notice 'flush'; end $$; "
                          "select pg_sleep(5)")
                 .connect(0, 2)
                 .disconnect(1, 2);
         },
         head + "Calls to the server: 4\n(# calls per second)\nTotal number of connections: 2\n"
                "Maximum number of concurrent connections: 2\n"
                "Average number of concurrent connections: #\n"
                "Average session idle percentage: 100.000%\n"
                "SQL statements executed: 1\n(0 or 0.000% of these completed with error)\n"
                "Maximum number of concurrent SQL statements: 1\n"
                "Average number of concurrent SQL statements: 0.000\n"
                "Average SQL statement duration: 0.000 seconds\n"
                "Maximum SQL statement duration: 0.000 seconds\n"
                "Statement duration histogram:\n"
                "  0    to 0.02 seconds: 0.000%\n  0.02 to 0.1  seconds: 0.000%\n"
                "  0.1  to 0.5  seconds: 0.000%\n  0.5  to 2    seconds: 0.000%\n"
                "     over 2    seconds: 0.000%\n",
         "Error: not all database connections closed\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        script s;
        r.build(s);
        replay_run run = replay(*server, s);
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(matches_report(r.pattern, run.out)) << run.out;
        EXPECT_EQ(run.err, r.err);
        EXPECT_LT(run.seconds, 3);  // nothing waits for the unfinished request
        reset_replay_state();
    }
}

TEST_F(Replay, PreparedStatementValuesArriveIntact) {
    server->psql("create table prepared_values (id int, a text, b text)");
    script s;
    s.connect(0, 0x21)
        .prepare(0, 0x21, "ins", "insert into prepared_values values ($1, $2, $3)")
        .exec_prepared(0, 0x21, "ins", {"1", nullptr, ""})
        .exec_prepared(0, 0x21, "ins", {"2", "it's", "back\\slash \"dq\" $1 ''"})
        .exec_prepared(0, 0x21, "ins", {"x", "not", "an int"})
        .disconnect(0, 0x21);
    replay_run run = replay(*server, s);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(server->psql("select id, coalesce(a, '<null>'), b, b = '' from prepared_values "
                           "order by id"),
              "1|<null>||t\n2|it's|back\\slash \"dq\" $1 ''|f");
    EXPECT_EQ(stats().counters.stat_prepares, 1u);
    EXPECT_EQ(stats().counters.stat_results, 4u);
    EXPECT_EQ(stats().counters.stat_errors, 1u);
    EXPECT_NE(run.out.find("SQL statements executed: 3\n(1 or 33.333% of these completed with "
                           "error)\n"),
              std::string::npos)
        << run.out;
}

// The log keeps bind values but not their types, so a statement whose
// parameters the server cannot type fails at its prepare, and its
// execution then fails for want of the statement: one failed statement.
TEST_F(Replay, AFailedPrepareAndItsExecutionAreOneError) {
    script s;
    s.connect(0, 0x22)
        .prepare(0, 0x22, "", "select $1 + $2")
        .exec_prepared(0, 0x22, "", {"1", "2"})
        .disconnect(0, 0x22);
    replay_run run = replay(*server, s);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(stats().counters.stat_results, 2u);
    EXPECT_EQ(stats().counters.stat_errors, 1u);
    EXPECT_NE(run.out.find("SQL statements executed: 1\n(1 or 100.000% of these completed with "
                           "error)\n"),
              std::string::npos)
        << run.out;
}

// The lock wait of lock_inversion: the replay must go on with 0x82's items
// while 0x81's next statement waits its turn.
TEST_F(Replay, SessionWaitingForALockDoesNotHoldUpTheOthers) {
    server->psql("create table contended (id int primary key, v int); "
                 "insert into contended values (1, 0)");
    script s;
    lock_inversion(s);
    replay_run run = replay(*server, s, at_debug(2));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_LT(run.seconds, 10);
    // Set aside by the server's word, well before the stall limit.
    EXPECT_NE(run.err.find("Session 0x81 waits for a lock held by session 0x82; the replay goes "
                           "on without it\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("Warning"), std::string::npos) << run.err;
    EXPECT_EQ(server->psql("select string_agg(id || ':' || v, ' ' order by id) from contended"),
              "1:30 2:2");
    EXPECT_EQ(stats().counters.stat_calls, 10u);
    EXPECT_EQ(stats().counters.stat_errors, 0u);
    EXPECT_EQ(stats().counters.stat_open_connections, 0u);
}

long status_kilobytes(const char *field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(strlen(field)));
    return -1;
}

// How far this process's resident memory rose above where it stood before
// the replay, at its highest.
long peak_growth_megabytes(const std::function<void()> &work) {
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
    long before = status_kilobytes("VmRSS:");
    work();
    return (status_kilobytes("VmHWM:") - before) / 1024;
}

// Whatever the target sends back, the client holds little of it at once:
// rows are taken one by one, notifications freed as they arrive.
TEST_F(Replay, LargeResultsAndNotificationFloodsNeedLittleMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer holds freed memory back for a while";
#endif
    struct row {
        const char *what;
        std::function<void(script &)> build;
    } rows[] = {
        {"300 MB of rows",
         [](script &s) {
             s.connect(0, 1)
                 .execute(0, 1, "select repeat('x', 1000) from generate_series(1, 300000)")
                 .disconnect(0, 1);
         }},
        {"140 MB of notifications",
         [](script &s) {
             // The listener's last statement starts once they are all sent,
             // and the server pushes them all before it answers.
             s.connect(0, 1)
                 .connect(0, 2)
                 .execute(0, 1, "listen flood")
                 .execute(0.1, 2, "begin")
                 .execute(0.1, 2, "select pg_advisory_xact_lock(99)")
                 .execute(0.15, 2,
                          "select count(pg_notify('flood', repeat('x', 7000) || i)) "
                          "from generate_series(1, 20000) i")
                 .execute(0.2, 1, "select pg_advisory_xact_lock(99)")
                 .execute(0.3, 2, "commit")
                 .execute(0.5, 1, "select 1")
                 .disconnect(0.6, 1)
                 .disconnect(0.6, 2);
         }},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        script s;
        r.build(s);
        replay_run run;
        long growth = peak_growth_megabytes([&] { run = replay(*server, s); });
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(stats().counters.stat_errors, 0u);
        EXPECT_LT(growth, 40) << "MB";
        reset_replay_state();
    }
}

// A lock wait that only a much later item resolves: the items queued
// behind the waiting session outgrow what the replay holds, and it ends
// saying who waits for whom instead of waiting for ever.
TEST_F(Replay, QueuedItemsBehindALockWaitAreBounded) {
    server->psql("create table bounded (id int primary key, v int); "
                 "insert into bounded values (1, 0)");
    const std::string large = "select length('" + std::string(1 << 20, 'x') + "')";
    script s;
    s.connect(0, 0x91)
        .connect(0, 0x92)
        .execute(0.1, 0x92, "begin")
        .execute(0.1, 0x92, "update bounded set v = 1 where id = 1")
        .execute(0.2, 0x91, "update bounded set v = 2 where id = 1");
    for (int i = 0; i < 80; ++i) s.execute(0.3, 0x91, large);
    s.execute(0.5, 0x92, "commit").disconnect(0.6, 0x91).disconnect(0.6, 0x92);
    replay_run run = replay(*server, s);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Error: the items waiting behind session 0x91, which waits for a lock "
                           "held by session 0x92, exceed what the replay holds (64 MB)\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_LT(run.seconds, 10);
}

TEST_F(Replay, CancelInterruptsTheRunningStatement) {
    script s;
    s.connect(0, 0x31)
        .execute(0, 0x31, "select pg_sleep(20)")
        .cancel(0.5, 0x31)
        .execute(0.5, 0x31, "select 1")
        .disconnect(0.5, 0x31);
    replay_run run = replay(*server, s, at_debug(1));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("Error message session 0x31: ERROR:  canceling statement due to user "
                           "request\n"),
              std::string::npos)
        << run.err;
    EXPECT_LT(run.seconds, 10);
    EXPECT_EQ(stats().counters.stat_errors, 1u);
    EXPECT_EQ(stats().counters.stat_results, 2u);
    EXPECT_EQ(stats().counters.stat_calls, 5u);
    EXPECT_LT(stats().counters.stat_max_statement_time.seconds, 10);
}

// Sessions whose items cannot run: refused by the server, or never opened.
TEST_F(Replay, UnusableSessions) {
    const std::string refused =
        "failed with FATAL error: database \"no_such_db\" does not exist\n";
    constexpr uint64_t any_count = UINT64_MAX;
    struct row {
        const char *what;
        std::function<void(script &)> build;
        int status;
        std::vector<std::string> err_parts;
        uint64_t connections;  // any_count: the error may come before or after a connect completes
    } rows[] = {
        {"refused session disconnects silently",
         [](script &s) { s.connect(0, 5, "postgres", "no_such_db").disconnect(0, 5); }, 0,
         {"Connection for session 0x5 " + refused, "Removing closed session 0x5\n"}, 0},
        {"refused session cannot run a statement",
         [](script &s) { s.connect(0, 5, "postgres", "no_such_db").execute(0, 5, "select 1"); },
         1, {"Connection for session 0x5 " + refused, "Connection 0x5 " + refused}, 0},
        {"refused session disconnects silently while another session is busy",
         [](script &s) {
             s.connect(0, 6)
                 .execute(0, 6, "select pg_sleep(2)")
                 .connect(0, 5, "postgres", "no_such_db")
                 .disconnect(1.5, 5)
                 .disconnect(2.5, 6);
         },
         0, {"Connection for session 0x5 " + refused, "Removing closed session 0x5\n"}, 1},
        {"statement before connect",
         [](script &s) {
             s.connect(0, 8).execute(0, 8, "select 1").execute(0, 9, "select 1").disconnect(0, 8);
         },
         1, {"Error: no connection for session 0x9\n"}, any_count},
        {"copy to standard output",
         [](script &s) {
             s.connect(0, 0xa).execute(0, 0xa, "copy (select 1) to stdout").disconnect(0, 0xa);
         },
         1, {"Error: session 0xa started a COPY, which cannot be replayed\n"}, 1},
        {"copy from standard input",
         [](script &s) {
             s.connect(0, 0xb)
                 .execute(0, 0xb, "create temp table t (i int); copy t from stdin")
                 .disconnect(0, 0xb);
         },
         1, {"Error: session 0xb started a COPY, which cannot be replayed\n"}, 1},
        {"second connect",
         [](script &s) {
             s.connect(0, 7).execute(0, 7, "select 1").connect(0, 7).disconnect(0, 7);
         },
         1, {"Error: duplicate connect for session 0x7\n"}, any_count},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        script s;
        r.build(s);
        replay_run run = replay(*server, s, at_debug(2));
        EXPECT_EQ(run.status, r.status);
        for (const auto &part : r.err_parts)
            EXPECT_NE(run.err.find(part), std::string::npos) << part << "\n" << run.err;
        if (r.connections != any_count) {
            EXPECT_EQ(stats().counters.stat_connections, r.connections);
        }
        EXPECT_EQ(run.out.empty(), r.status != 0) << run.out;
        EXPECT_LT(run.seconds, 10);
        reset_replay_state();
    }
}

TEST_F(Replay, SpeedFactorScalesTheRecordedGaps) {
    script s;
    s.connect(0, 0x41).execute(3, 0x41, "select 1").disconnect(3, 0x41);
    replay_options options = at_debug(2);
    options.factor = 2;
    replay_run run = replay(*server, s, options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_GT(run.seconds, 1.4);
    EXPECT_LT(run.seconds, 2.5);
    EXPECT_TRUE(run.err.find("Napping for 1.4") != std::string::npos ||
                run.err.find("Napping for 1.5") != std::string::npos)
        << run.err;
    EXPECT_NE(run.out.find("Speed factor for replay: 2.000\n"), std::string::npos);
}

// Idle time is skipped, time in which a statement runs is not.
TEST_F(Replay, SkipIdleSkipsOnlyIdleTime) {
    script s;
    s.connect(0, 0x42)
        .execute(0, 0x42, "select pg_sleep(1)")
        .execute(5, 0x42, "select 1")
        .disconnect(6, 0x42);
    replay_options options = at_debug(2);
    options.skip_idle = true;
    replay_run run = replay(*server, s, options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_GT(run.seconds, 1.0);
    EXPECT_LT(run.seconds, 2.5);
    EXPECT_EQ(occurrences(run.err, "Skipping "), 2u) << run.err;
    EXPECT_EQ(occurrences(run.err, "Napping "), 0u);
    EXPECT_GE(stats().counters.stat_max_statement_time.seconds, 1);
    // 4 s of the 6 s gap were skipped after the sleep, and 1 s before the disconnect.
    EXPECT_GT(in_seconds(stats().skipped_time), 4.5);
    EXPECT_LT(in_seconds(stats().skipped_time), 5.0);
}

// A statement that falls due while its session is busy makes the replay lag;
// the consumer waits for the session without spinning.
TEST_F(Replay, LagBehindScheduleIsWarnedAbout) {
    script s;
    s.connect(0, 0x51)
        .execute(0, 0x51, "select pg_sleep(10.6)")
        .execute(0.5, 0x51, "select 1")
        .disconnect(0.5, 0x51);
    replay_run run = replay(*server, s);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(occurrences(run.out, "Execution is 10 seconds behind schedule\n"), 1u) << run.out;
    EXPECT_EQ(occurrences(run.out, "behind schedule\n"), 1u) << run.out;
    EXPECT_TRUE(run.out.starts_with("Execution is 10 seconds behind schedule\n\nReplay"));
    EXPECT_GE(stats().counters.stat_max_lag, 10);
    EXPECT_LE(stats().counters.stat_max_lag, 11);
    EXPECT_TRUE(matches_report("Maximum lag behind schedule: 1# seconds\n",
                               run.out.substr(run.out.find("Maximum lag"),
                                              run.out.find("Calls") - run.out.find("Maximum lag"))));
    // About one call per wait of at most 50 ms, not a busy loop.
    EXPECT_LT(run.consumer_calls, 1000u);
}

TEST_F(Replay, NamesWithQuotesAndBackslashesReachTheServer) {
    const std::string user = "o'b\\x", database = "d'b\\y";
    server->psql("create role \"o'b\\x\" login");
    server->psql("create database \"d'b\\y\" owner \"o'b\\x\"");
    script s;
    s.connect(0, 0x61, user, database)
        .execute(0, 0x61, "create table who as select current_user as u, current_database() as d")
        .disconnect(0, 0x61);
    replay_options options = at_debug(2);
    options.password = "pa'ss\\word";
    replay_run run = replay(*server, s, options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(server->psql("select u || ' ' || d from who", database), user + " " + database);
    std::string line = "Database connect string: \"port=5432 host='" + server->socket_dir() +
                       "' password='***'\"\n";
    EXPECT_NE(run.err.find(line), std::string::npos) << run.err;
    EXPECT_EQ(occurrences(run.err + run.out, "ss\\\\word"), 0u);
    EXPECT_EQ(occurrences(run.err + run.out, "ss\\word"), 0u);
}

TEST_F(Replay, StatementLargerThanTheSocketBuffersIsFlushedInPieces) {
    const size_t length = 8 << 20;
    std::string statement =
        "create table big_statement as select length('" + std::string(length, 'x') + "') as n";
    script s;
    s.connect(0, 0x71).execute(0, 0x71, statement).disconnect(0, 0x71);
    replay_run run = replay(*server, s, at_debug(2));
    EXPECT_EQ(run.status, 0) << run.err.substr(0, 2000);
    EXPECT_NE(run.err.find("Session 0x71 needs to flush again\n"), std::string::npos);
    EXPECT_NE(run.err.find("Session 0x71 flushing data\n"), std::string::npos);
    EXPECT_EQ(server->psql("select n from big_statement"), std::to_string(length));
    EXPECT_EQ(stats().counters.stat_errors, 0u);
}

// More sessions than select() could watch, all connected and all with a
// statement in flight at once: each statement waits for a lock that the
// test holds until every statement has been sent.
TEST_F(Replay, ThousandsOfConcurrentSessions) {
    const int sessions = 1100;
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max < static_cast<rlim_t>(sessions + 100))
        GTEST_SKIP() << "hard limit of open files is too low";
    struct rlimit lowered = {1024, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);

    std::string conninfo = "host=" + server->socket_dir() + " port=5432 user=postgres";
    PGconn *locker = PQconnectdb(conninfo.c_str());
    ASSERT_EQ(PQstatus(locker), CONNECTION_OK);
    PQclear(PQexec(locker, "select pg_advisory_lock(4242)"));
    // Releases the lock once every replayed session waits for it (or after
    // a minute, and then the counts below fail).
    std::thread releaser([locker, sessions] {
        for (int i = 0; i < 600; ++i) {
            PGresult *waiting = PQexec(
                locker, "select count(*) from pg_locks where locktype = 'advisory' and not granted");
            bool all = PQresultStatus(waiting) == PGRES_TUPLES_OK &&
                       atoi(PQgetvalue(waiting, 0, 0)) >= sessions;
            PQclear(waiting);
            if (all) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        PQclear(PQexec(locker, "select pg_advisory_unlock(4242)"));
    });

    script s;
    for (int i = 1; i <= sessions; ++i) s.connect(0, 0x1000 + i);
    for (int i = 1; i <= sessions; ++i)
        s.execute(0, 0x1000 + i, "select pg_advisory_xact_lock_shared(4242)");
    for (int i = 1; i <= sessions; ++i) s.disconnect(0, 0x1000 + i);
    // The server forks its processes one at a time, which takes some
    // machines tens of milliseconds each: give the last ones time enough.
    replay_options options;
    options.extra = "connect_timeout=120";
    replay_run run = replay(*server, s, options);
    releaser.join();
    PQfinish(locker);
    setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(stats().counters.stat_connections, static_cast<uint64_t>(sessions));
    EXPECT_EQ(stats().counters.stat_max_connections, static_cast<uint64_t>(sessions));
    EXPECT_EQ(stats().counters.stat_max_statements, static_cast<uint64_t>(sessions));
    EXPECT_EQ(stats().counters.stat_results, static_cast<uint64_t>(sessions));
    EXPECT_EQ(stats().counters.stat_errors, 0u);
    EXPECT_EQ(stats().counters.stat_open_connections, 0u);
    EXPECT_NE(run.out.find("Maximum number of concurrent connections: 1100\n"), std::string::npos);
}

// The sessions it had lose their connections, which the replay survives;
// the next connection then finds no server, which ends it.
TEST_F(Replay, ServerGoingAwayEndsTheReplayWithAnError) {
    pg_server doomed;
    script s;
    s.connect(0, 0x81)
        .execute(0, 0x81, "select pg_sleep(30)")
        .connect(0, 0x82)
        .execute(0, 0x82, "select 1")
        .execute(2, 0x82, "select 2")
        .connect(3, 0x83)
        .execute(3, 0x83, "select 3")
        .disconnect(31, 0x83)
        .disconnect(31, 0x82)
        .disconnect(31, 0x81);
    std::thread stopper([&] {
        sleep(1);
        doomed.stop();
    });
    replay_run run = replay(doomed, s, at_debug(1));
    stopper.join();
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Warning: session 0x81 lost its connection, its later items are "
                           "skipped: FATAL:  terminating connection due to administrator command"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("Error: connection to database failed: "), std::string::npos)
        << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_LT(run.seconds, 10);
}

// A session that the server ends during the replay (terminated by another
// session, or timed out by the target) costs only its own later items.
TEST_F(Replay, LostSessionsAreSkippedAndTheReplayGoesOn) {
    pg_server target(false, {"idle_session_timeout = '300ms'"});
    target.psql("create table survived (who text)");
    script s;
    s.connect(0, 0x91)
        .execute(0, 0x91, "select 1")
        .connect(0, 0x92)
        .execute(0.1, 0x92, "select pg_terminate_backend(pid) from pg_stat_activity "
                            "where query = 'select 1' and pid <> pg_backend_pid()")
        .execute(0.2, 0x91, "insert into survived values ('terminated')")
        .execute(0.25, 0x91, "select 'skipped'")
        .execute(0.2, 0x92, "insert into survived values ('terminator')")
        // 0x92 stays idle longer than the target allows.
        .execute(1.0, 0x92, "insert into survived values ('timed out')")
        .connect(1.0, 0x93)
        .execute(1.0, 0x93, "insert into survived values ('newcomer')")
        .disconnect(1.1, 0x91)
        .disconnect(1.1, 0x92)
        .disconnect(1.1, 0x93);
    replay_run run = replay(target, s);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(target.psql("select string_agg(who, ',' order by who) from survived"),
              "newcomer,terminator");
    EXPECT_NE(run.err.find("Warning: session 0x91 lost its connection, its later items are "
                           "skipped: FATAL:  terminating connection due to administrator command"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("Warning: session 0x92 lost its connection, its later items are "
                           "skipped: FATAL:  terminating connection due to idle-session timeout"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("Warning: 2 sessions were ended by the server during the replay; 1 of "
                           "their items were skipped\n"),
              std::string::npos)
        << run.err;
    // The statement each sent into its ended connection failed; the
    // statistics count the connections as closed when they were lost.
    EXPECT_EQ(stats().counters.stat_errors, 2u);
    EXPECT_EQ(stats().counters.stat_open_connections, 0u);
    EXPECT_EQ(stats().counters.stat_connections, 3u);
    EXPECT_NE(run.out.find("SQL statements executed: 6\n(2 or 33.333% of these completed with "
                           "error)\n"),
              std::string::npos)
        << run.out;
}

}  // namespace

// Waits for a busy session may end late; a nap until an item is due, and
// the process after the replay, are back to timely wake-ups.  The replay
// runs on this thread, whose slack a second thread samples throughout.
TEST_F(Replay, OnlyWaitsForBusySessionsMayWakeLate) {
    const unsigned long initial = static_cast<unsigned long>(prctl(PR_GET_TIMERSLACK));
    const std::string slack_file = "/proc/" + std::to_string(getpid()) + "/timerslack_ns";
    struct sample {
        double at;
        unsigned long slack;
    };
    std::vector<sample> samples;
    std::atomic<bool> done{false};
    auto started = std::chrono::steady_clock::now();
    std::thread sampler([&] {
        while (!done) {
            unsigned long slack = 0;
            if (FILE *file = fopen(slack_file.c_str(), "r")) {
                if (fscanf(file, "%lu", &slack) != 1) slack = 0;
                fclose(file);
            }
            std::chrono::duration<double> at = std::chrono::steady_clock::now() - started;
            samples.push_back({at.count(), slack});
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    script s;
    s.connect(0, 0x91)
        .execute(0, 0x91, "select pg_sleep(0.4)")
        .execute(0.1, 0x91, "select 1")  // falls due while the sleep runs
        .execute(1.5, 0x91, "select 2")  // reached after a nap
        .disconnect(1.5, 0x91);
    replay_run run = replay(*server, s, at_debug(2));
    done = true;
    sampler.join();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("Napping for 1.0"), std::string::npos) << run.err;
    size_t late_while_busy = 0, napping = 0, late_while_napping = 0;
    for (const sample &each : samples) {
        if (each.at > 0.1 && each.at < 0.35 && each.slack == late_wakeup_nanoseconds)
            ++late_while_busy;
        if (each.at > 0.6 && each.at < 1.3) {
            ++napping;
            if (each.slack != initial) ++late_while_napping;
        }
    }
    EXPECT_GT(late_while_busy, 0u);
    EXPECT_GT(napping, 10u);
    EXPECT_EQ(late_while_napping, 0u);
    EXPECT_EQ(static_cast<unsigned long>(prctl(PR_GET_TIMERSLACK)), initial);
}

// The pass after a wait reads what the wait found, unless a record has been
// added or has started a request in between: then it must poll afresh, or
// it would read the readiness of the wrong sockets.
TEST_F(Replay, PassAfterAWaitSeesRecordsChangedSinceTheWait) {
    database_state &state = replay_state();
    ASSERT_EQ(database_consumer_init(nullptr, server->socket_dir().c_str(), server->port(),
                                     nullptr, 1.0),
              1);
    timeval now{};
    replay_item *first = replay_create_connect(&now, 0xa1, "postgres", "postgres");
    ASSERT_TRUE(open_connection(state, first));
    replay_free(first);
    session_connection *sleeper = session_list_find(state.connection_list, 0xa1);
    for (int i = 0; i < 1000 && sleeper->state != conn_idle; ++i) {
        ASSERT_TRUE(wait_for_progress(state, 10000));
        ASSERT_FALSE(poll_connections(state, 0xa1).failed);
    }
    ASSERT_EQ(sleeper->state, conn_idle);

    replay_item *sleep = replay_create_execute(&now, 0xa1, "select pg_sleep(0.2)");
    ASSERT_TRUE(send_request(state, sleeper, sleep));
    replay_free(sleep);
    // The wait ends when the sleep's result is there; then a second session
    // connects, in front of the first in the list, before the next pass.
    ASSERT_TRUE(wait_for_progress(state, 10000000));
    replay_item *second = replay_create_connect(&now, 0xa2, "postgres", "postgres");
    ASSERT_TRUE(open_connection(state, second));
    replay_free(second);
    ASSERT_FALSE(poll_connections(state, 0xa1).failed);
    EXPECT_EQ(stats().counters.stat_results, 1u);
    EXPECT_EQ(sleeper->state, conn_idle);
}
