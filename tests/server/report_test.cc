// The per-statement report of real replays, and the comparison of two:
// a workload recorded on one server (psql with literals in several forms,
// pgbench's prepared statements, statements that fail) is replayed onto a
// second server, then again after an index there was dropped and a table
// renamed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "database/database_state.h"
#include "replay_harness.h"
#include "support/pg_server.h"
#include "support/run_binary.h"

namespace {

using json = nlohmann::json;

const char schema[] =
    "CREATE TABLE items (id int PRIMARY KEY, code int, name text); "
    "INSERT INTO items SELECT g, g * 7, 'n' || g FROM generate_series(1, 200000) g; "
    "CREATE INDEX items_code ON items (code); "
    "CREATE TABLE audit (id int, note text); "
    "ANALYZE items";

// The recorded workload: what each group must count.
const char pgbench_script[] =
    "\\set c random(1, 200000)\n"
    "SELECT name FROM items WHERE code = :c;\n"
    "INSERT INTO audit VALUES (:c, $$p$$);\n";
constexpr int pgbench_transactions = 30;

struct expected_group {
    std::string kind;
    std::string text;
    bool parsed;
    uint64_t calls;
    uint64_t errors;  // baseline
};

const std::vector<expected_group> recorded_groups = {
    {"simple", "SELECT name FROM items WHERE id = $1", true, 2, 0},
    {"simple", "SELECT name FROM items WHERE name = $1", true, 3, 0},
    {"simple", "SELECT pg_sleep($1)", true, 3, 0},
    {"simple", "SELECT * FROM no_such_table", true, 2, 2},
    {"simple", "SELECT $1/$2", true, 1, 1},
    {"simple", "INSERT INTO audit VALUES ($1, $2)", true, 2, 0},
    {"prepared", "SELECT name FROM items WHERE code = $1;", true, pgbench_transactions, 0},
    {"prepared", "INSERT INTO audit VALUES ($1, $2);", true, pgbench_transactions, 0},
    {"simple", "SELECT '{}'::json IS JSON OBJECT", false, 1, 1},
};

// A session appended to the recorded log by hand: syntax of a newer server,
// which neither the parser nor this server accepts.
std::string newer_server_session(const std::string &log) {
    size_t last_line = log.rfind('\n', log.size() - 2) + 1;
    std::string prefix = log.substr(last_line, 27) + "|postgres|postgres|ffff.1|";
    return prefix + "LOG:  connection authorized: user=postgres database=postgres\n" + prefix +
           "LOG:  statement: SELECT '{}'::json IS JSON OBJECT\n" + prefix +
           "LOG:  disconnection: session time: 0:00:00.001 user=postgres database=postgres "
           "host=[local]\n";
}

std::map<std::string, json> by_text(const json &report, const std::string &kind_prefix = "") {
    std::map<std::string, json> groups;
    for (const json &group : report["statements"])
        groups[kind_prefix + group["kind"].get<std::string>() + " " +
               group["text"].get<std::string>()] = group;
    return groups;
}

class ReportOfAReplay : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new temp_dir;
        recorded = new pg_server(true);
        target = new pg_server;
        std::string output;
        ASSERT_EQ(recorded->shell(std::string("PGOPTIONS='-c log_statement=none' psql -X -q -c ") +
                                      shell_quote(schema),
                                  &output),
                  0)
            << output;
        target->psql(schema);
        // One psql session; its failing statements do not end it.
        recorded->shell(
            "psql -X -q -c \"SELECT name FROM items WHERE id = 1\" -c \"select name from items "
            "where id=2\" -c \"SELECT name FROM items WHERE name = E'n3'\" -c 'SELECT name FROM "
            "items WHERE name = $$n4$$' -c \"SELECT name FROM items WHERE name = 'n5'\" "
            "-c 'SELECT pg_sleep(0.2)' -c 'SELECT pg_sleep(0.2)' -c 'SELECT pg_sleep(0.2)' "
            "-c 'SELECT * FROM no_such_table' -c 'SELECT * FROM no_such_table' "
            "-c 'SELECT 1/0' -c \"INSERT INTO audit VALUES (1, 'a')\" "
            "-c \"INSERT INTO audit VALUES (2, 'b')\"",
            &output);
        write_file(dir->file("script.sql"), pgbench_script);
        ASSERT_EQ(
            recorded->shell("pgbench -n -M prepared -t " + std::to_string(pgbench_transactions) +
                                " -f " + shell_quote(dir->file("script.sql")),
                            &output),
            0)
            << output;
        recorded->stop();
        std::string log = read_file(recorded->log_path());
        write_file(dir->file("recorded.log"), log + newer_server_session(log));
        write_file(dir->file("other.log"), newer_server_session(log));

        baseline_run = replay_with_report("base.json");
        target->psql("DROP INDEX items_code; ALTER TABLE audit RENAME TO audit_old");
        candidate_run = replay_with_report("cand.json");
    }
    static void TearDownTestSuite() {
        delete target;
        delete recorded;
        delete dir;
    }

    static run_result replay_with_report(const std::string &name,
                                         const std::string &log = "recorded.log") {
        return run_quillrun({"-j", "-h", target->socket_dir(), "-p", "5432", "-R", dir->file(name),
                             dir->file(log)});
    }
    static json report(const std::string &name) { return json::parse(read_file(dir->file(name))); }

    static temp_dir *dir;
    static pg_server *recorded;
    static pg_server *target;
    static run_result baseline_run;  // status -1 until the replay ran
    static run_result candidate_run;
};

temp_dir *ReportOfAReplay::dir;
pg_server *ReportOfAReplay::recorded;
pg_server *ReportOfAReplay::target;
run_result ReportOfAReplay::baseline_run;
run_result ReportOfAReplay::candidate_run;

TEST_F(ReportOfAReplay, GroupsCallsAndErrorsAreExact) {
    ASSERT_EQ(baseline_run.status, 0) << baseline_run.err;
    json base = report("base.json");
    EXPECT_EQ(base["run"]["outcome"], "complete");
    EXPECT_EQ(base["run"]["skip_idle"], true);
    EXPECT_EQ(base["run"]["server_version"], target->psql("SHOW server_version"));
    EXPECT_EQ(std::to_string(base["run"]["server_version_num"].get<int>()),
              target->psql("SHOW server_version_num"));

    std::map<std::string, json> groups = by_text(base);
    EXPECT_EQ(groups.size(), recorded_groups.size()) << base["statements"].dump(2);
    uint64_t calls = 0;
    for (const expected_group &want : recorded_groups) {
        SCOPED_TRACE(want.text);
        auto found = groups.find(want.kind + " " + want.text);
        ASSERT_NE(found, groups.end()) << base["statements"].dump(2);
        const json &group = found->second;
        EXPECT_EQ(group["parsed"], want.parsed);
        EXPECT_EQ(group["calls"], want.calls);
        EXPECT_EQ(group["errors"], want.errors);
        if (want.kind == "prepared") {
            EXPECT_EQ(group["prepares"], 1);
        }
        calls += want.calls;
    }
    EXPECT_EQ(base["totals"]["statements"], calls);
    EXPECT_EQ(base["totals"]["errors"], 4);

    std::string unparsed_key = groups["simple SELECT '{}'::json IS JSON OBJECT"]["key"];
    json expected_errors = {
        {{"sqlstate", "42P01"},
         {"message", "relation \"no_such_table\" does not exist"},
         {"count", 2},
         {"statements", {groups["simple SELECT * FROM no_such_table"]["key"]}}},
        {{"sqlstate", "22012"},
         {"message", "division by zero"},
         {"count", 1},
         {"statements", {groups["simple SELECT $1/$2"]["key"]}}},
        {{"sqlstate", "42601"},
         {"message", "syntax error at or near \"JSON\""},
         {"count", 1},
         {"statements", {unparsed_key}}},
    };
    EXPECT_EQ(base["errors"], expected_errors) << base["errors"].dump(2);

    // On the candidate the prepare of the insert fails; each execution is
    // one error under the prepare's error, not a "does not exist" of its
    // own, and both kinds of insert share the error group.
    ASSERT_EQ(candidate_run.status, 0) << candidate_run.err;
    json cand = report("cand.json");
    std::map<std::string, json> after = by_text(cand);
    const json &prepared_insert = after["prepared INSERT INTO audit VALUES ($1, $2);"];
    EXPECT_EQ(prepared_insert["errors"], pgbench_transactions);
    EXPECT_EQ(prepared_insert["prepare_errors"], 1);
    EXPECT_EQ(after["simple INSERT INTO audit VALUES ($1, $2)"]["errors"], 2);
    bool found_audit = false;
    for (const json &error : cand["errors"]) {
        if (error["message"] != "relation \"audit\" does not exist") continue;
        found_audit = true;
        EXPECT_EQ(error["sqlstate"], "42P01");
        EXPECT_EQ(error["count"], pgbench_transactions + 2);
        EXPECT_EQ(error["statements"].size(), 2u);
    }
    EXPECT_TRUE(found_audit) << cand["errors"].dump(2);
    EXPECT_EQ(cand["errors"].size(), 4u);
    // The statistics count each failed statement once: the executions, not
    // the failed prepare behind them.
    EXPECT_EQ(cand["totals"]["errors"], 4 + 2 + pgbench_transactions);
}

TEST_F(ReportOfAReplay, DurationsArePlausible) {
    ASSERT_EQ(baseline_run.status, 0) << baseline_run.err;
    json base = report("base.json");
    for (const json &group : base["statements"]) {
        SCOPED_TRACE(group["text"].get<std::string>());
        double mean = group["mean_ms"], median = group["median_ms"], p95 = group["p95_ms"];
        double p99 = group["p99_ms"], largest = group["max_ms"], total = group["total_ms"];
        EXPECT_GT(median, 0);
        EXPECT_LE(median, p95);
        EXPECT_LE(p95, p99);
        EXPECT_LE(p99, largest);
        EXPECT_LE(mean, largest);
        EXPECT_NEAR(total, mean * group["calls"].get<double>(),
                    0.001 * group["calls"].get<double>());
    }
    const json sleep = by_text(base)["simple SELECT pg_sleep($1)"];
    EXPECT_GE(sleep["median_ms"].get<double>(), 200);
    EXPECT_LT(sleep["median_ms"].get<double>(), 300);
    EXPECT_GE(sleep["mean_ms"].get<double>(), 200);
    EXPECT_LT(sleep["mean_ms"].get<double>(), 300);
    EXPECT_GE(base["totals"]["statement_time_s"].get<double>(), 0.6);

    // Without its index every lookup scans the table.
    json cand = report("cand.json");
    const std::string lookup = "prepared SELECT name FROM items WHERE code = $1;";
    EXPECT_GT(by_text(cand)[lookup]["mean_ms"].get<double>(),
              5 * by_text(base)[lookup]["mean_ms"].get<double>());
}

TEST_F(ReportOfAReplay, CompareFindsTheSlowerLookupAndTheNewError) {
    ASSERT_EQ(baseline_run.status, 0) << baseline_run.err;
    ASSERT_EQ(candidate_run.status, 0) << candidate_run.err;
    run_result result = run_compare({dir->file("base.json"), dir->file("cand.json")});
    EXPECT_EQ(result.status, 1) << result.err;
    const std::string &out = result.out;
    size_t table = out.find("statement\n");
    ASSERT_NE(table, std::string::npos) << out;
    // The lookup is the worst: the first row.
    std::string first_row = out.substr(table + 10, out.find('\n', table + 10) - table - 10);
    EXPECT_NE(first_row.find("        30  "), std::string::npos) << out;
    EXPECT_NE(first_row.find("SELECT name FROM items WHERE code = $1;"), std::string::npos) << out;
    EXPECT_NE(out.find("new             0         32  42P01    relation \"audit\" does not "
                       "exist\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Regression beyond 20%: "), std::string::npos) << out;

    run_result same = run_compare({dir->file("base.json"), dir->file("base.json")});
    EXPECT_EQ(same.status, 0) << same.out << same.err;
    EXPECT_NE(same.out.find("No regression beyond 20%.\n"), std::string::npos) << same.out;

    run_result other = replay_with_report("other.json", "other.log");
    ASSERT_EQ(other.status, 0) << other.err;
    run_result refused = run_compare({dir->file("base.json"), dir->file("other.json")});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("are reports of different recordings"), std::string::npos)
        << refused.err;
}

TEST_F(ReportOfAReplay, ALogItsCsvTwinAndADryRunDescribeTheSameWorkload) {
    ASSERT_EQ(baseline_run.status, 0) << baseline_run.err;
    json base = report("base.json");
    std::string digests[2];
    for (bool csv : {false, true}) {
        SCOPED_TRACE(csv);
        std::vector<std::string> args = {"-n", "-R", dir->file("dry.json")};
        if (csv) args.push_back("-c");
        args.push_back(csv ? recorded->csv_log_path() : recorded->log_path());
        ASSERT_EQ(run_quillrun(args).status, 0);
        json dry = report("dry.json");
        // The hand-made session is only in the stderr copy that was replayed.
        std::map<std::string, json> replayed = by_text(base);
        replayed.erase("simple SELECT '{}'::json IS JSON OBJECT");
        std::map<std::string, json> counted = by_text(dry);
        ASSERT_EQ(counted.size(), replayed.size());
        for (const auto &[text, group] : counted) {
            SCOPED_TRACE(text);
            EXPECT_EQ(group["calls"], replayed[text]["calls"]);
            EXPECT_EQ(group["key"], replayed[text]["key"]);
        }
        digests[csv] = dry["run"]["digest"];
    }
    EXPECT_EQ(digests[0], digests[1]);
    EXPECT_NE(digests[0], base["run"]["digest"]);
}

// In-process against the same target: a session's requests queue up behind
// each other, so the report must follow each request from its noting to its
// completion in the session's order, even when a statement name is
// prepared again in between.
TEST_F(ReportOfAReplay, RequestsQueuedInASessionKeepTheirGroups) {
    script s;
    s.connect(0, 1)
        .connect(0, 2)
        .prepare(0, 1, "p", "select $1::int as first")
        .exec_prepared(0, 1, "p", {"1"})
        .execute(0, 1, "deallocate p")
        .prepare(0, 1, "p", "select $1::text || 'x' as second")
        .exec_prepared(0, 1, "p", {"a"})
        .prepare(0, 2, "p", "select $1::int * 2 as third")
        .exec_prepared(0, 2, "p", {"3"})
        .prepare(0, 1, "q", "select * from missing_table where id = $1")
        .exec_prepared(0, 1, "q", {"1"})
        .exec_prepared(0, 1, "q", {"2"})
        .execute(0, 1, "select pg_sleep(0.05)")
        .disconnect(0, 1)
        .disconnect(0, 2);
    replay_options options;
    std::string path = dir->file("queued.json");
    options.report = path.c_str();
    replay_run run = replay(*target, s, options);
    ASSERT_EQ(run.status, 0) << run.err;
    reset_replay_state();

    json queued = report("queued.json");
    struct want {
        uint64_t calls, errors, prepares, prepare_errors;
    };
    std::map<std::string, want> expected = {
        {"prepared select $1::int as first", {1, 0, 1, 0}},
        {"simple deallocate p", {1, 0, 0, 0}},
        {"prepared select $1::text || $2 as second", {1, 0, 1, 0}},
        {"prepared select $1::int * $2 as third", {1, 0, 1, 0}},
        {"prepared select * from missing_table where id = $1", {2, 2, 1, 1}},
        {"simple select pg_sleep($1)", {1, 0, 0, 0}},
    };
    std::map<std::string, json> groups = by_text(queued);
    EXPECT_EQ(groups.size(), expected.size()) << queued["statements"].dump(2);
    for (const auto &[text, counts] : expected) {
        SCOPED_TRACE(text);
        ASSERT_TRUE(groups.contains(text)) << queued["statements"].dump(2);
        const json &group = groups[text];
        EXPECT_EQ(group["calls"], counts.calls);
        EXPECT_EQ(group["errors"], counts.errors);
        if (group["kind"] == "prepared") {
            EXPECT_EQ(group["prepares"], counts.prepares);
            EXPECT_EQ(group["prepare_errors"], counts.prepare_errors);
        }
    }
    ASSERT_EQ(queued["errors"].size(), 1u) << queued["errors"].dump(2);
    EXPECT_EQ(queued["errors"][0]["sqlstate"], "42P01");
    EXPECT_EQ(queued["errors"][0]["message"], "relation \"missing_table\" does not exist");
    EXPECT_EQ(queued["errors"][0]["count"], 2);
    EXPECT_EQ(queued["totals"]["errors"], 2);
}

// The report file is renamed into place only at the end; when that fails
// the run fails before any statistics are printed, and no temporary file
// is left behind.
TEST_F(ReportOfAReplay, AReportThatCannotBeWrittenAtTheEndFailsTheRun) {
    temp_dir place;
    std::string path = place.file("report.json");
    script s;
    s.connect(0, 1).execute(0, 1, "select 1").disconnect(0, 1);
    replay_options options;
    options.report = path.c_str();
    options.before_item = [&](size_t index) {
        if (index == 1) {
            ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        }
    };
    replay_run run = replay(*target, s, options);
    reset_replay_state();
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Error writing report file \"" + path + "\": Is a directory\n");
    run_result listing = run_quillrun({"-n", "-R", place.file("other.json"), "/nonexistent"});
    EXPECT_EQ(listing.status, 1);  // a failed start leaves nothing either
    std::string output;
    target->shell("ls -A " + shell_quote(place.path()), &output);
    EXPECT_EQ(output, "report.json\n");
}

}  // namespace
