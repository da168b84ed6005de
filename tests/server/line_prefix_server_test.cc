// The same pgbench and psql workload recorded by one server under several
// log_line_prefix settings, each into a database of its own, read with -P:
// every recording replays onto a fresh server into the recorded end state,
// and its dry run counts what the default prefix gives without -P.  One of
// them is logged as many production servers are set up: duration entries
// instead of log_statement.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/pg_server.h"
#include "support/pgbench.h"
#include "support/run_binary.h"

namespace {

struct recording {
    const char *prefix;
    const char *database;
    // log_statement = 'none' and log_min_duration_statement = 0
    bool durations = false;
};

const recording recordings[] = {
    {"%t [%p]: user=%u,db=%d,app=%a,client=%h ", "tprefix"},
    {"%m [%p] %q%u@%d ", "qprefix"},
    {"%m|%u|%d|%c|", "defaultprefix"},
    {"%t [%p]: user=%u,db=%d,app=%a,client=%h ", "tdurations", true},
};

// A role with a blank in its name, which the prefix '%m [%p] %q%u@%d '
// writes followed by "@", and a database name followed by a blank.
const char odd_role[] = "app user";

void create_role(const pg_server &server) {
    server.psql(std::string("CREATE ROLE \"") + odd_role + "\" LOGIN SUPERUSER");
}

void initialise_database(const pg_server &server, const char *database) {
    server.psql(std::string("CREATE DATABASE ") + database);
    std::string output;
    if (server.shell(std::string("PGOPTIONS='-c log_statement=none' pgbench -i -q -s 1 ") +
                         database,
                     &output) != 0)
        throw std::runtime_error("pgbench -i failed: " + output);
}

class LinePrefixServer : public testing::Test {
protected:
    static void SetUpTestSuite() {
        recorded_ = std::make_unique<pg_server>(true);
        create_role(*recorded_);
        for (const recording &r : recordings) initialise_database(*recorded_, r.database);
        for (const recording &r : recordings) record(r);
    }
    static void TearDownTestSuite() { recorded_.reset(); }

    // Switches the server to the prefix, then runs the workload; the part
    // of the log written meanwhile is the recording.
    static void record(const recording &r) {
        recorded_->psql(std::string("ALTER SYSTEM SET log_line_prefix = '") + r.prefix + "'");
        recorded_->psql(std::string("ALTER SYSTEM SET log_statement = ") +
                        (r.durations ? "'none'" : "'all'"));
        recorded_->psql(std::string("ALTER SYSTEM SET log_min_duration_statement = ") +
                        (r.durations ? "0" : "-1"));
        recorded_->psql("SELECT pg_reload_conf()");
        // New backends start with the new setting once the postmaster has
        // read it; lines after this all have the new prefix.
        for (int i = 0; i < 50 && recorded_->psql("SHOW log_line_prefix") != r.prefix; ++i)
            usleep(100000);
        ASSERT_EQ(recorded_->psql("SHOW log_line_prefix"), r.prefix);
        recorded_->flush_log();
        size_t start = read_file(recorded_->log_path()).size();

        for (const char *mode : {"simple", "extended", "prepared"}) {
            std::string output;
            ASSERT_EQ(recorded_->shell(std::string("pgbench -n -c 4 -t 20 -M ") + mode + " " +
                                           r.database,
                                       &output),
                      0)
                << output;
        }
        std::string output;
        recorded_->shell(std::string("psql -X -q -U ") + shell_quote(odd_role) + " -d " +
                             r.database +
                             " -c 'UPDATE pgbench_branches SET bbalance = bbalance + 1'"
                             " -c 'SELECT 1/0'",
                         &output);
        ASSERT_NE(output.find("division by zero"), std::string::npos) << output;
        recorded_->flush_log();
        logs_[r.database] = read_file(recorded_->log_path()).substr(start);
        end_states_[r.database] = recorded_->psql(pgbench_end_state_query, r.database);
    }

    static std::string log_file(const temp_dir &dir, const recording &r) {
        std::string path = dir.file(std::string(r.database) + ".log");
        write_file(path, logs_[r.database]);
        return path;
    }

    static std::unique_ptr<pg_server> recorded_;
    static std::map<std::string, std::string> logs_;
    static std::map<std::string, std::string> end_states_;
};

std::unique_ptr<pg_server> LinePrefixServer::recorded_;
std::map<std::string, std::string> LinePrefixServer::logs_;
std::map<std::string, std::string> LinePrefixServer::end_states_;

// The lines of the statistics that count, without the times.
std::string counts(const std::string &statistics) {
    std::istringstream lines(statistics);
    std::string line, kept;
    for (std::string line_text; std::getline(lines, line_text);)
        if (line_text.find("processed: ") != std::string::npos ||
            line_text.find("connections: ") != std::string::npos ||
            line_text.find("executed: ") != std::string::npos)
            kept += line_text + "\n";
    return kept;
}

TEST_F(LinePrefixServer, EveryRecordingReplaysIntoItsEndState) {
    temp_dir dir;
    pg_server target;
    create_role(target);
    for (const recording &r : recordings) initialise_database(target, r.database);
    for (const recording &r : recordings) {
        SCOPED_TRACE(r.prefix);
        run_result result = run_quillrun(
            {"-h", target.socket_dir(), "-p", "5432", "-j", "-P", r.prefix, log_file(dir, r)});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_NE(result.out.find("\nReplay statistics\n"), std::string::npos) << result.out;
        // The one division by zero of the workload, and nothing else; a
        // duration log has no entry for a failed statement, and says so.
        EXPECT_NE(result.out.find(r.durations ? "\n(0 or " : "\n(1 or "), std::string::npos)
            << result.out;
        EXPECT_EQ(result.err.find("log_statement = 'all'") != std::string::npos, r.durations)
            << result.err;
        EXPECT_EQ(target.psql(pgbench_end_state_query, r.database), end_states_[r.database]);
    }
}

TEST_F(LinePrefixServer, DryRunsCountWhatTheDefaultPrefixGives) {
    temp_dir dir;
    const recording &default_prefix = recordings[2];
    run_result plain = run_quillrun({"-n", log_file(dir, default_prefix)});
    ASSERT_EQ(plain.status, 0) << plain.err;
    std::string expected = counts(plain.out);
    // 3 modes x 4 clients x 20 transactions of 7 statements, and more.
    ASSERT_NE(expected.find("Total SQL statements processed: "), std::string::npos) << plain.out;
    for (const recording &r : recordings) {
        SCOPED_TRACE(r.prefix);
        run_result result = run_quillrun({"-n", "-P", r.prefix, log_file(dir, r)});
        ASSERT_EQ(result.status, 0) << result.err;
        bool coarse = std::string(r.prefix).starts_with("%t");
        std::string coarse_warning =
            coarse ? "Warning: log_line_prefix has only %t: times are known to the second\n" : "";
        if (r.durations) {
            // All but the failed division by zero, which has no duration.
            EXPECT_EQ(number_after(result.out, "Total SQL statements processed: ") + 1,
                      number_after(plain.out, "Total SQL statements processed: "));
            EXPECT_EQ(result.err.find(coarse_warning), 0u) << result.err;
            continue;
        }
        EXPECT_EQ(counts(result.out), expected);
        EXPECT_EQ(result.err, coarse_warning);
    }
}

// Read by a prefix other than the server's, a log stops at its first line.
TEST_F(LinePrefixServer, AWrongPrefixNamesTheFirstLine) {
    temp_dir dir;
    run_result result = run_quillrun({"-n", "-P", "%m [%p] ", log_file(dir, recordings[2])});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              "Error parsing line 1: line does not match log_line_prefix \"%m [%p] \"\n");
}

}  // namespace
