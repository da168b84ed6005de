// The target must see the statements in the recorded order, so that its end
// state can be compared with the source's; and the replay must still never
// hang on a lock wait that the recording did not have.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "database/database_state.h"
#include "quillrun/database.h"
#include "replay_harness.h"
#include "support/pg_server.h"
#include "support/pgbench.h"
#include "support/run_binary.h"

namespace {

using std::chrono::milliseconds;
using std::this_thread::sleep_for;

// A client of the recorded server, as an application would use it.
class client {
public:
    client(const pg_server &server, const std::string &database) {
        std::string conninfo = "host=" + server.socket_dir() + " port=5432 user=postgres dbname=" +
                               database;
        connection_ = PQconnectdb(conninfo.c_str());
        if (PQstatus(connection_) != CONNECTION_OK)
            throw std::runtime_error(std::string("cannot connect: ") +
                                     PQerrorMessage(connection_));
    }
    ~client() { leave(); }
    void leave() {
        if (connection_ != nullptr) PQfinish(connection_);
        connection_ = nullptr;
    }
    int backend_pid() const { return PQbackendPID(connection_); }
    client(const client &) = delete;
    client &operator=(const client &) = delete;

    void run(const std::string &sql) {
        PGresult *result = PQexec(connection_, sql.c_str());
        ExecStatusType status = PQresultStatus(result);
        std::string error = PQresultErrorMessage(result);
        PQclear(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
            throw std::runtime_error(sql + ": " + error);
    }

private:
    PGconn *connection_;
};

// The "(N or P% of these completed with error)" line's N.
unsigned long errors_in(const std::string &report) {
    size_t executed = report.find("SQL statements executed: ");
    if (executed == std::string::npos) return ~0UL;
    return number_after(report.substr(executed), "\n(");
}

// A workload whose end state depends on the order of statements across
// sessions, recorded the way a web application produces it: two pooled
// sessions stay connected, while short-lived sessions connect, write and
// disconnect a few milliseconds before the pooled ones read or write, less
// than a connection takes to set up.  Each short session's end is in the
// log before the pooled sessions go on, as it was in the recording.
class CrossSessionOrder : public testing::Test {
protected:
    static constexpr const char *database = "ordering";
    static constexpr const char *end_state_query =
        "SELECT (SELECT string_agg(r || who || coalesce(m, -1), ',' ORDER BY r, who) FROM seen), "
        "(SELECT string_agg(id || who, ',' ORDER BY id) FROM arrivals), "
        "(SELECT count(*) FROM marker)";

    static void SetUpTestSuite() {
        recorded_ = std::make_unique<pg_server>(true);
        recorded_->psql(std::string("CREATE DATABASE ") + database);
        record_workload(*recorded_);
        recorded_->flush_log();
        recorded_state_ = new std::string(recorded_->psql(end_state_query, database));
        target_ = std::make_unique<pg_server>();
    }
    static void TearDownTestSuite() {
        recorded_.reset();
        target_.reset();
        delete recorded_state_;
    }

    // Returns once the server has logged the end of the session of backend
    // pid, so that the log shows it before anything the test does next.
    static void wait_until_logged_gone(const pg_server &server, int pid) {
        char tail[64];
        snprintf(tail, sizeof tail, ".%x|LOG:  disconnection: ", static_cast<unsigned>(pid));
        for (int i = 0; i < 2000; ++i) {
            if (read_file(server.log_path()).find(tail) != std::string::npos) return;
            sleep_for(std::chrono::microseconds(500));
        }
        throw std::runtime_error("the server never logged the disconnection");
    }

    // A short-lived session: connects, runs its statement, leaves.
    static void visit(const pg_server &server, const std::string &sql) {
        client visitor(server, database);
        visitor.run(sql);
        int pid = visitor.backend_pid();
        visitor.leave();
        wait_until_logged_gone(server, pid);
    }

    static void record_workload(const pg_server &server) {
        visit(server,
              "CREATE TABLE marker (r int, m int); CREATE TABLE seen (r int, who text, m int); "
              "CREATE TABLE arrivals (id bigserial PRIMARY KEY, who text); "
              "INSERT INTO seen VALUES (0, 'stale', 0)");
        sleep_for(milliseconds(5));
        visit(server, "TRUNCATE seen");  // cleans up just before the others start
        sleep_for(milliseconds(2));
        client a(server, database), b(server, database);
        for (int round = 1; round <= 8; ++round) {
            std::string r = std::to_string(round);
            visit(server, "INSERT INTO marker VALUES (" + r + ", " + r + ")");
            sleep_for(milliseconds(2));
            a.run("INSERT INTO seen SELECT " + r + ", 'a', max(m) FROM marker");
            b.run("INSERT INTO seen SELECT " + r + ", 'b', max(m) FROM marker");
            sleep_for(milliseconds(10));
            visit(server, "INSERT INTO arrivals (who) VALUES ('new" + r + "')");
            sleep_for(milliseconds(2));
            a.run("INSERT INTO arrivals (who) VALUES ('a" + r + "')");
            sleep_for(milliseconds(20));
        }
    }

    // A fresh copy of the recorded database's starting point: empty.
    static void fresh_target_database() {
        target_->psql(std::string("DROP DATABASE IF EXISTS ") + database);
        target_->psql(std::string("CREATE DATABASE ") + database);
    }

    static std::string replay(const std::vector<std::string> &input) {
        fresh_target_database();
        std::vector<std::string> args = {"-h", target_->socket_dir(), "-p", "5432"};
        args.insert(args.end(), input.begin(), input.end());
        run_result result = run_quillrun(args);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(errors_in(result.out), 0UL) << result.out;
        // Nothing was set aside or given up on the way.
        EXPECT_EQ(result.err.find("Warning"), std::string::npos) << result.err;
        return target_->psql(end_state_query, database);
    }

    static std::unique_ptr<pg_server> recorded_;
    static std::unique_ptr<pg_server> target_;
    static std::string *recorded_state_;
};

std::unique_ptr<pg_server> CrossSessionOrder::recorded_;
std::unique_ptr<pg_server> CrossSessionOrder::target_;
std::string *CrossSessionOrder::recorded_state_;

TEST_F(CrossSessionOrder, TheRecordingSawEveryMarkerInItsRound) {
    // The premise of the replays below: in the recording every pooled read
    // saw its own round's marker and every newcomer arrived first.
    const std::string &state = *recorded_state_;
    EXPECT_NE(state.find("1a1,1b1,2a2,2b2,"), std::string::npos) << state;
    EXPECT_NE(state.find("|1new1,2a1,3new2,4a2,"), std::string::npos) << state;
    EXPECT_EQ(state.find("stale"), std::string::npos) << state;
}

TEST_F(CrossSessionOrder, EveryReplayEndsInTheRecordedState) {
    temp_dir dir;
    run_result written = run_quillrun({"-f", "-D", database, "-o", dir.file("order.qr"),
                                       recorded_->log_path()});
    ASSERT_EQ(written.status, 0) << written.err;
    for (int run = 1; run <= 5; ++run) {
        SCOPED_TRACE(run);
        EXPECT_EQ(replay({"-D", database, recorded_->log_path()}), *recorded_state_);
        EXPECT_EQ(replay({"-r", dir.file("order.qr")}), *recorded_state_);
    }
}

// Sessions that are merely slow on the target hold the later items of every
// session back: none of them may overtake.
TEST(SlowSessions, HoldBackTheItemsRecordedAfterThem) {
    pg_server server;
    server.psql("CREATE TABLE arrivals (who text, at timestamptz DEFAULT clock_timestamp())");
    PGconn *outsider =
        PQconnectdb(("host=" + server.socket_dir() + " port=5432 user=postgres").c_str());
    ASSERT_EQ(PQstatus(outsider), CONNECTION_OK);
    struct row {
        const char *what;
        const char *slow_statement;
        bool outsider_holds_the_lock;
    } rows[] = {
        {"a long statement", "SELECT pg_sleep(0.6)", false},
        {"a lock held outside the replay", "SELECT pg_advisory_lock(77)", true},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        server.psql("TRUNCATE arrivals");
        if (r.outsider_holds_the_lock) PQclear(PQexec(outsider, "SELECT pg_advisory_lock(77)"));
        std::thread releaser([&] {
            if (!r.outsider_holds_the_lock) return;
            sleep_for(milliseconds(600));
            PQclear(PQexec(outsider, "SELECT pg_advisory_unlock(77)"));
        });
        script s;
        s.connect(0, 0x11)
            .connect(0, 0x12)
            .execute(0.01, 0x12, "INSERT INTO arrivals (who) VALUES ('start')")
            .execute(0.05, 0x11, r.slow_statement)
            .execute(0.1, 0x11, "INSERT INTO arrivals (who) VALUES ('slow')")
            .execute(0.2, 0x12, "INSERT INTO arrivals (who) VALUES ('later')")
            .execute(0.25, 0x11, "SELECT pg_advisory_unlock_all()")
            .disconnect(0.3, 0x11)
            .disconnect(0.3, 0x12);
        replay_run run = replay(server, s, at_debug(2));
        releaser.join();
        EXPECT_EQ(run.status, 0) << run.err;
        // Both go once the slow statement is over; 'later' never before.
        EXPECT_EQ(server.psql("SELECT string_agg(who, ',' ORDER BY who) FROM arrivals"),
                  "later,slow,start");
        EXPECT_EQ(server.psql("SELECT (SELECT at FROM arrivals WHERE who = 'later') > "
                              "(SELECT at FROM arrivals WHERE who = 'start') + interval '0.5s'"),
                  "t");
        EXPECT_GT(run.seconds, 0.6);
        // The server said nobody of the replay blocks the slow session.
        EXPECT_EQ(run.err.find("waits for a lock held by"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("Warning"), std::string::npos) << run.err;
        reset_replay_state();
    }
    PQfinish(outsider);
}

// The lock wait of SessionWaitingForALockDoesNotHoldUpTheOthers, on a target
// that will not tell which session blocks which: after a second, the waiting
// session is set aside with a warning and the replay goes on.
TEST(LockWaits, WithoutAnAnswerFromTheServerTheWaitingSessionIsParkedAfterAStall) {
    pg_server server;
    server.psql("CREATE ROLE plain LOGIN; "
                "CREATE TABLE contended (id int PRIMARY KEY, v int); "
                "INSERT INTO contended VALUES (1, 0); "
                "GRANT ALL ON contended TO plain; "
                "REVOKE EXECUTE ON FUNCTION pg_blocking_pids(integer) FROM PUBLIC");
    script s;
    lock_inversion(s, "plain");
    replay_run run = replay(server, s);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::regex_search(
        run.err, std::regex("Warning: cannot ask the target which sessions wait for locks "
                            "\\(ERROR:  permission denied for function pg_blocking_pids\\)")))
        << run.err;
    EXPECT_TRUE(std::regex_search(run.err,
                                  std::regex("Warning: session 0x81 has held up the replay for "
                                             "1\\.[0-9]+ seconds; later sessions go ahead\n")))
        << run.err;
    EXPECT_EQ(server.psql("select string_agg(id || ':' || v, ' ' order by id) from contended"),
              "1:30 2:2");
    EXPECT_GT(run.seconds, 1.0);
    EXPECT_LT(run.seconds, 10);
    reset_replay_state();
}

// Eight clients on the one branch row of scale 1 wait for each other all the
// time, and on the target not always in the recorded order.
TEST(LockWaits, PgbenchWithHeavyContentionFinishesInTheRecordedState) {
    pg_server recorded(true);
    initialise_pgbench(recorded);
    std::string output;
    ASSERT_EQ(recorded.shell("pgbench -n -c 8 -j 2 -t 150 -M simple", &output), 0) << output;
    recorded.flush_log();
    std::string recorded_state = recorded.psql(pgbench_end_state_query);

    pg_server target;
    initialise_pgbench(target);
    run_result result = run_quillrun(
        {"-h", target.socket_dir(), "-p", "5432", recorded.log_path()});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("\n(0 or 0.000% of these completed with error)\n"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(target.psql(pgbench_end_state_query), recorded_state);
}

// A few hundred sessions that each connect, run one statement and leave,
// one after the other, 5 ms apart: much less than a connection takes the
// target to set up, but a rate it sustains when the set-ups overlap.  The
// connections are ready when their statements fall due, so the replay
// keeps to the recorded pace.  Where the machine cannot create processes
// at that rate at all, the sessions come further apart (and fewer, for a
// recording of about two seconds), at a pace it can sustain.
TEST(EarlyConnections, ManyShortSessionsKeepToTheSchedule) {
    pg_server target;
    const int gap_ms = std::max(5, static_cast<int>(1.5 * target.connect_milliseconds()) + 1);
    const int sessions = std::max(50, 2000 / gap_ms);
    std::string log;
    char line[256];
    for (int i = 0; i < sessions; ++i) {
        int ms = gap_ms * i;
        const char *prefix = "2026-05-04 10:%02d:%02d.%03d UTC|postgres|postgres|5f000000.%x|";
        const char *entries[] = {
            "LOG:  connection authorized: user=postgres database=postgres\n",
            "LOG:  statement: SELECT 1\n",
            "LOG:  disconnection: session time: 0:00:00.002 user=postgres database=postgres "
            "host=[local]\n"};
        for (int step = 0; step < 3; ++step) {
            int at = ms + step;
            snprintf(line, sizeof line, prefix, at / 60000, at / 1000 % 60, at % 1000, i + 1);
            log += line;
            log += entries[step];
        }
    }
    temp_dir dir;
    write_file(dir.file("short.log"), log);

    run_result result = run_quillrun({"-h", target.socket_dir(), "-p", "5432", dir.file("short.log")});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("Total number of connections: " + std::to_string(sessions) + "\n"),
              std::string::npos)
        << "sessions " << gap_ms << " ms apart\n" << result.out;
    // Connections opened ahead of time count from their recorded moment,
    // when the recording had only one session open.
    EXPECT_NE(result.out.find("Maximum number of concurrent connections: 1\n"),
              std::string::npos)
        << result.out;
    EXPECT_LE(number_after(result.out, "Maximum lag behind schedule: "), 1UL)
        << "sessions " << gap_ms << " ms apart\n" << result.out;
    EXPECT_EQ(errors_in(result.out), 0UL) << result.out;
    EXPECT_EQ(result.err, "");
}

// A session's connection is set up well before its recorded moment; and
// one that the target refuses then, because the recorded sessions fill it,
// is tried again on time.
TEST(EarlyConnections, AreReadyBeforeTheirMomentAndRetriedWhenRefusedEarly) {
    pg_server target(false, {"max_connections = 2", "superuser_reserved_connections = 0"});
    target.psql("CREATE TABLE waited (session text, seconds float8)");
    const std::string record_wait =
        "INSERT INTO waited SELECT '%s', extract(epoch FROM now() - backend_start) "
        "FROM pg_stat_activity WHERE pid = pg_backend_pid()";
    auto statement = [&](const char *who) {
        std::string text = record_wait;
        text.replace(text.find("%s"), 2, who);
        return text;
    };
    script s;
    s.connect(0, 0xa)
        .connect(0, 0xb)
        .execute(0.6, 0xa, statement("a"))
        .disconnect(0.65, 0xa)
        // Ahead of time the target is full; on time a slot is free.
        .connect(0.7, 0xc)
        .execute(0.7, 0xc, statement("c"))
        .disconnect(0.75, 0xc)
        .disconnect(0.75, 0xb);
    replay_run run = replay(target, s, at_debug(2));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("Opening the connection of session 0xc ahead of time\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("Connecting session 0xc again, refused while opened ahead of time\n"),
              std::string::npos)
        << run.err;
    // a connected at once; c, refused early, connected again at 0.7 s.
    EXPECT_EQ(target.psql("SELECT string_agg(session || ':' || (seconds > 0.5)::text, ' ' "
                          "ORDER BY session) FROM waited"),
              "a:true c:false");
    EXPECT_EQ(replay_state().counters.stat_connections, 3u);
    EXPECT_EQ(replay_state().counters.stat_max_connections, 2u);
    reset_replay_state();
}

// Connections opened ahead of time are ready when their session's first
// statement is due: here 0.5 s after the replay began, the session's
// connection has existed for most of that time.
TEST(EarlyConnections, StartUpToASecondBeforeTheirRecordedMoment) {
    pg_server target;
    target.psql("CREATE TABLE waited (seconds float8)");
    script s;
    s.connect(0, 1)
        .execute(0, 1, "SELECT 1")
        .connect(0.5, 2)
        .execute(0.5, 2,
                 "INSERT INTO waited SELECT extract(epoch FROM now() - backend_start) "
                 "FROM pg_stat_activity WHERE pid = pg_backend_pid()")
        .disconnect(0.6, 2)
        .disconnect(0.6, 1);
    replay_run run = replay(target, s);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(target.psql("SELECT seconds > 0.4 FROM waited"), "t");
    EXPECT_EQ(replay_state().counters.stat_connections, 2u);
    reset_replay_state();
}

}  // namespace
