// The same workload recorded with log_min_duration_statement = 0, alone and
// with log_statement = 'all', in all three formats: every log replays onto
// a fresh server into the recorded end state, and the dry runs count alike.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/pg_server.h"
#include "support/pgbench.h"
#include "support/provider_run.h"
#include "support/run_binary.h"

namespace {

const std::string end_state_query =
    std::string(pgbench_end_state_query) + "; SELECT sum(x), count(*) FROM extra";

struct recording {
    const char *name;
    std::unique_ptr<pg_server> server;
    std::string end_state;
};

// A pg_sleep(1) that begins before a pgbench run and ends after all of its
// statements, the three protocols, and psql with a prepared statement.
void run_workload(const pg_server &server) {
    initialise_pgbench(server);
    server.psql("CREATE TABLE extra (x int)");
    std::string output;
    ASSERT_EQ(server.shell("psql -X -q -c 'SELECT pg_sleep(1)' & sleep 0.3; "
                           "pgbench -n -c 4 -t 20 -M simple; status=$?; wait; exit $status",
                           &output),
              0)
        << output;
    for (const char *mode : {"extended", "prepared"})
        ASSERT_EQ(server.shell(std::string("pgbench -n -c 4 -t 20 -M ") + mode, &output), 0)
            << output;
    ASSERT_EQ(server.shell("psql -X -q -v ON_ERROR_STOP=1 "
                           "-c 'INSERT INTO extra SELECT generate_series(1, 10)' "
                           "-c 'PREPARE ins(int) AS INSERT INTO extra VALUES ($1)' "
                           "-c 'EXECUTE ins(5)' -c 'EXECUTE ins(7)'",
                           &output),
              0)
        << output;
    server.flush_log();
}

struct log_case {
    const recording *source;
    const char *format;
    std::vector<std::string> args;  // the log and its option
};

class DurationLog : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        recordings_ = new recording[2]{
            {"log_min_duration_statement = 0", nullptr, ""},
            {"log_min_duration_statement = 0 and log_statement = 'all'", nullptr, ""}};
        const std::vector<std::string> settings[2] = {
            {"log_statement = 'none'", "log_min_duration_statement = 0"},
            {"log_statement = 'all'", "log_min_duration_statement = 0"}};
        for (int i = 0; i < 2; ++i) {
            recordings_[i].server = std::make_unique<pg_server>(true, settings[i]);
            run_workload(*recordings_[i].server);
            recordings_[i].end_state = recordings_[i].server->psql(end_state_query);
            recordings_[i].server->stop();
        }
    }
    static void TearDownTestSuite() {
        delete[] recordings_;
        recordings_ = nullptr;
    }

    static std::vector<log_case> all_logs() {
        std::vector<log_case> logs;
        for (int i = 0; i < 2; ++i) {
            const pg_server &server = *recordings_[i].server;
            logs.push_back({&recordings_[i], "stderr", {server.log_path()}});
            logs.push_back({&recordings_[i], "csv", {"-c", server.csv_log_path()}});
            logs.push_back({&recordings_[i], "jsonlog", {server.json_log_path()}});
        }
        return logs;
    }

    static recording *recordings_;
};

recording *DurationLog::recordings_ = nullptr;

TEST_F(DurationLog, EveryLogReplaysIntoTheRecordedEndState) {
    pg_server target;
    for (const log_case &log : all_logs()) {
        SCOPED_TRACE(std::string(log.source->name) + ", " + log.format);
        target.psql("DROP TABLE IF EXISTS extra");
        initialise_pgbench(target);
        std::vector<std::string> args = {"-h", target.socket_dir(), "-p", "5432", "-j"};
        args.insert(args.end(), log.args.begin(), log.args.end());
        run_result result = run_quillrun(args);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_NE(result.out.find("\n(0 or 0.000% of these completed with error)\n"),
                  std::string::npos)
            << result.out;
        EXPECT_EQ(target.psql(end_state_query), log.source->end_state);
    }
}

// The counts of a dry run, without the lines that differ between two runs
// of one workload (log lines, times).
std::string counts_of(const std::string &out) {
    std::string counts;
    for (const char *label :
         {"Total SQL statements processed: ", "Simple SQL statements processed: ",
          "Parametrized SQL statements processed: ",
          "Named prepared SQL statements executions processed: ",
          "Different named prepared SQL statements processed: ", "Calls to the server: ",
          "Total number of connections: ", "SQL statements executed: "}) {
        size_t at = out.find(label);
        if (at == std::string::npos) return "no \"" + std::string(label) + "\" in\n" + out;
        counts += out.substr(at, out.find('\n', at) + 1 - at);
    }
    return counts;
}

std::string dry_run_counts(const log_case &log) {
    std::vector<std::string> args = {"-n"};
    args.insert(args.end(), log.args.begin(), log.args.end());
    run_result result = run_quillrun(args);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    return counts_of(result.out);
}

// The statements of the second recording come from log_statement = 'all'
// (its duration entries only carry durations), so it is the reference.
TEST_F(DurationLog, DryRunsCountWhatTheLogStatementRecordingCounts) {
    std::vector<log_case> logs = all_logs();
    const std::string reference = dry_run_counts(logs[3]);
    // 3 modes x 4 clients x 20 transactions of 7 statements, the sleep,
    // psql's statements and the few queries pgbench makes at its start.
    size_t at = reference.find("SQL statements executed: ");
    ASSERT_NE(at, std::string::npos) << reference;
    unsigned long executed = std::stoul(reference.substr(at + 25));
    EXPECT_GE(executed, 3u * 4u * 20u * 7u + 6u);
    EXPECT_LT(executed, 3u * 4u * 20u * 7u + 30u);
    for (const log_case &log : logs) {
        SCOPED_TRACE(std::string(log.source->name) + ", " + log.format);
        EXPECT_EQ(dry_run_counts(log), reference);
    }
}

struct parsed_log {
    const char *format;
    parse_result result;
};

std::vector<parsed_log> parse_all_formats(const pg_server &server) {
    return {{"stderr", parse_log_file(server.log_path())},
            {"csv", parse_log_file(server.csv_log_path(), {.csv = true})},
            {"jsonlog", parse_log_file(server.json_log_path())}};
}

bool is_statement(const parsed_item &item) {
    return item.type == pg_execute || item.type == pg_exec_prepared;
}

// The sleep ended after the statements of the pgbench run beside it, and
// its entry comes after theirs; replayed, it comes before them, and every
// statement carries its recorded duration.
TEST_F(DurationLog, ASlowStatementComesInStartOrder) {
    for (parsed_log &log : parse_all_formats(*recordings_[0].server)) {
        SCOPED_TRACE(log.format);
        const std::vector<parsed_item> &items = log.result.items;
        ASSERT_FALSE(log.result.failed) << log.result.messages;
        size_t sleep = items.size();
        for (size_t i = 0; i < items.size(); ++i) {
            if (i > 0) {
                ASSERT_FALSE(timercmp(&items[i].time, &items[i - 1].time, <))
                    << "item " << i << ": " << items[i].text() << " after "
                    << items[i - 1].text();
            }
            if (items[i].type == pg_execute && items[i].data[0] == "SELECT pg_sleep(1)") sleep = i;
            if (is_statement(items[i])) {
                EXPECT_GE(items[i].recorded_duration, 0) << items[i].text();
            }
        }
        ASSERT_LT(sleep, items.size());
        EXPECT_GE(items[sleep].recorded_duration, 1000000);
        // Statements that began after the sleep and ended before it.
        struct timeval end, one_second = {1, 0};
        timeradd(&items[sleep].time, &one_second, &end);
        size_t inside = 0;
        for (size_t i = sleep + 1; i < items.size(); ++i)
            if (is_statement(items[i]) && timercmp(&items[i].time, &end, <)) ++inside;
        // All of the pgbench run, unless the machine was slow to start it.
        EXPECT_GE(inside, 20u);
    }
}

// With log_statement = 'all' as well, the statements come from the entries
// written when they began, each once; the bare duration entries give every
// statement after the log's first duration entry its duration.
TEST_F(DurationLog, WithLogStatementEachStatementOnceWithItsDuration) {
    for (parsed_log &log : parse_all_formats(*recordings_[1].server)) {
        SCOPED_TRACE(log.format);
        ASSERT_FALSE(log.result.failed) << log.result.messages;
        size_t first_timed = log.result.items.size(), without = 0, statements = 0;
        for (size_t i = 0; i < log.result.items.size(); ++i) {
            const parsed_item &item = log.result.items[i];
            if (!is_statement(item)) continue;
            ++statements;
            if (item.recorded_duration >= 0 && first_timed == log.result.items.size())
                first_timed = i;
            if (item.recorded_duration < 0 && i > first_timed) ++without;
        }
        EXPECT_LT(first_timed, 10u);
        EXPECT_EQ(without, 0u);
        EXPECT_GE(statements, 3u * 4u * 20u * 7u);
    }
}

}  // namespace
