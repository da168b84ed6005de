// The report file (-R) through the binary, from dry runs of hand-made logs:
// statement groups, the digest of the item stream, and the file's failures.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/run_binary.h"

namespace {

using json = nlohmann::json;

const std::string fixture = std::string(QUILLRUN_SOURCE_DIR) + "/tests/fixtures/report.log";

run_result run_utc(std::vector<std::string> args, const std::string &input = "") {
    run_request request;
    request.args = std::move(args);
    request.input = input;
    request.env = {{"TZ", "UTC"}};
    return run_quillrun(request);
}

std::set<std::string> files_in(const std::string &directory) {
    std::set<std::string> names;
    DIR *dir = opendir(directory.c_str());
    if (dir == nullptr) return names;
    while (dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.' || (strcmp(entry->d_name, ".") && strcmp(entry->d_name, "..")))
            names.insert(entry->d_name);
    closedir(dir);
    return names;
}

std::string digest_of_dry_run(const std::vector<std::string> &args, const std::string &input) {
    temp_dir dir;
    std::vector<std::string> full = {"-n", "-R", dir.file("r.json")};
    full.insert(full.end(), args.begin(), args.end());
    run_result result = run_utc(full, input);
    EXPECT_EQ(result.status, 0) << result.err;
    return json::parse(read_file(dir.file("r.json")))["run"]["digest"].get<std::string>();
}

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

TEST(Report, DryRunShowsTheStatementGroupsOfTheLog) {
    temp_dir dir;
    run_result plain = run_utc({"-n", fixture});
    run_result with_report = run_utc({"-n", "-R", dir.file("report.json"), fixture});
    ASSERT_EQ(with_report.status, 0) << with_report.err;
    EXPECT_EQ(with_report.out, plain.out);
    EXPECT_EQ(with_report.err, plain.err);
    EXPECT_EQ(files_in(dir.path()), std::set<std::string>{"report.json"});

    json report = json::parse(read_file(dir.file("report.json")));
    EXPECT_EQ(report["format"], "quillrun report");
    EXPECT_EQ(report["quillrun_version"], "1.5.0");
    const json &run = report["run"];
    EXPECT_EQ(run["outcome"], "complete");
    EXPECT_EQ(run["input"], fixture);
    EXPECT_EQ(run["input_format"], "stderr log");
    EXPECT_EQ(run["dry_run"], true);
    EXPECT_EQ(run["server_version"], nullptr);
    EXPECT_EQ(run["items"], 27);
    EXPECT_TRUE(std::regex_match(run["digest"].get<std::string>(), std::regex("[0-9a-f]{64}")));
    EXPECT_TRUE(std::regex_match(run["started_at"].get<std::string>(),
                                 std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ")));
    EXPECT_EQ(report["totals"], json::parse(R"({"recorded_duration_s": 2.25, "calls": 27,
        "connections": 2, "max_connections": 2, "statements": 19})"));
    EXPECT_FALSE(report.contains("errors"));

    // Literals in every form share a group, across sessions; a prepared
    // statement's executions, named or unnamed, belong to its text; names
    // are per session; the same text as a simple and as a prepared statement
    // makes two groups; texts the parser rejects are grouped by their text.
    struct group {
        std::string kind;
        std::string text;
        bool parsed;
        int calls;
        int prepares;  // -1: simple statements have none
        bool operator==(const group &) const = default;
    };
    std::vector<group> expected = {
        {"simple", "SELECT name FROM t WHERE id = $1", true, 7, -1},
        {"prepared", "SELECT name FROM t WHERE id = $1", true, 5, 3},
        {"simple", "SELECT '{}'::json IS JSON OBJECT", false, 2, -1},
        {"simple", "SELECT name FROM t WHERE code = $1", true, 1, -1},
        {"simple", "SELECT name, id FROM t WHERE id = $1", true, 1, -1},
        {"simple", "SELECT count(*) FROM t", true, 1, -1},
        {"prepared", "SELECT count(*) FROM t", true, 1, 1},
        {"simple", "MERGE INTO t USING s ON t.id = s.id WHEN MATCHED THEN DELETE RETURNING *",
         false, 1, -1},
    };
    std::vector<group> actual;
    std::set<std::string> keys;
    for (const json &entry : report["statements"]) {
        actual.push_back({entry["kind"], entry["text"], entry["parsed"], entry["calls"],
                          entry.contains("prepares") ? entry["prepares"].get<int>() : -1});
        keys.insert(entry["key"].get<std::string>());
        EXPECT_FALSE(entry.contains("mean_ms")) << entry;
        EXPECT_EQ(entry.contains("parse_error"), !entry["parsed"].get<bool>()) << entry;
    }
    EXPECT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < std::min(actual.size(), expected.size()); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(actual[i] == expected[i]) << report["statements"][i];
    }
    EXPECT_EQ(keys.size(), expected.size());
    EXPECT_EQ(report["statements"][2]["parse_error"], "syntax error at or near \"JSON\"");
}

TEST(Report, DigestNamesTheStatementStreamAndNotItsTiming) {
    const std::string log = read_file(fixture);
    const std::string original = digest_of_dry_run({}, log);
    struct row {
        const char *what;
        std::string log;
        bool same;
    } rows[] = {
        {"the same log recorded an hour later", replace_all(log, " 10:00:", " 11:00:"), true},
        {"a literal changed", replace_all(log, "id = 4.5", "id = 4.6"), false},
        {"a bind value changed", replace_all(log, "'it''s'", "'its'"), false},
        {"NULL became an empty value", replace_all(log, "$1 = NULL", "$1 = ''"), false},
        {"a statement name changed", replace_all(log, "execute s1:", "execute s2:"), false},
        {"a session id changed", replace_all(log, "|2.b|", "|2.c|"), false},
        {"a user changed", replace_all(log, "|bob|", "|eve|"), false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        ASSERT_NE(r.log, log);
        EXPECT_EQ(digest_of_dry_run({}, r.log) == original, r.same);
    }

    // A replay file made from the log holds the same stream.
    temp_dir dir;
    ASSERT_EQ(run_utc({"-f", "-o", dir.file("log.qr"), fixture}).status, 0);
    ASSERT_EQ(run_utc({"-n", "-R", dir.file("log.json"), fixture}).status, 0);
    ASSERT_EQ(run_utc({"-r", "-n", "-R", dir.file("file.json"), dir.file("log.qr")}).status, 0);
    json from_log = json::parse(read_file(dir.file("log.json")));
    json from_file = json::parse(read_file(dir.file("file.json")));
    EXPECT_EQ(from_file["run"]["digest"], original);
    EXPECT_EQ(from_file["run"]["input_format"], "replay file");
    EXPECT_EQ(from_file["statements"], from_log["statements"]);
}

// Durations the log recorded stand beside each group, also when the log
// went through a replay file first; groups without them have none.
TEST(Report, RecordedDurationsStandBesideTheGroups) {
    auto line = [](const char *milliseconds, const std::string &entry) {
        return std::string("2026-01-01 10:00:00.") + milliseconds + " UTC|alice|shop|1.a|" +
               entry + "\n";
    };
    const std::string log =
        line("000", "LOG:  connection authorized: user=alice database=shop") +
        line("104", "LOG:  duration: 4.000 ms  statement: SELECT name FROM t WHERE id = 1") +
        line("212", "LOG:  duration: 12.000 ms  statement: SELECT name FROM t WHERE id = 2") +
        line("300", "LOG:  duration: 0.250 ms  execute <unnamed>: SELECT name FROM t WHERE id = $1") +
        line("300", "DETAIL:  parameters: $1 = '5'") +
        line("400", "LOG:  statement: SELECT count(*) FROM t") +
        line("500", "LOG:  disconnection: session time: 0:00:00.500 user=alice database=shop");
    temp_dir dir;
    write_file(dir.file("durations.log"), log);
    ASSERT_EQ(run_utc({"-f", "-o", dir.file("durations.qr"), dir.file("durations.log")}).status, 0);
    run_result from_log = run_utc({"-n", "-R", dir.file("log.json"), dir.file("durations.log")});
    run_result from_file =
        run_utc({"-r", "-n", "-R", dir.file("file.json"), dir.file("durations.qr")});
    ASSERT_EQ(from_log.status, 0) << from_log.err;
    ASSERT_EQ(from_file.status, 0) << from_file.err;
    json statements = json::parse(read_file(dir.file("log.json")))["statements"];
    EXPECT_EQ(json::parse(read_file(dir.file("file.json")))["statements"], statements);

    struct recorded {
        std::string kind;
        std::string text;
        int calls;     // 0: no recorded durations
        double mean;   // the rest in milliseconds
        double median;
        double p95;
        double max;
    } expected[] = {
        {"simple", "SELECT name FROM t WHERE id = $1", 2, 8.0, 4.0, 12.0, 12.0},
        {"prepared", "SELECT name FROM t WHERE id = $1", 1, 0.25, 0.25, 0.25, 0.25},
        {"simple", "SELECT count(*) FROM t", 0, 0, 0, 0, 0},
    };
    ASSERT_EQ(statements.size(), std::size(expected)) << statements;
    for (const recorded &row : expected) {
        SCOPED_TRACE(row.kind + " " + row.text);
        auto group = std::find_if(statements.begin(), statements.end(), [&](const json &entry) {
            return entry["kind"] == row.kind && entry["text"] == row.text;
        });
        ASSERT_NE(group, statements.end()) << statements;
        if (row.calls == 0) {
            EXPECT_FALSE(group->contains("recorded")) << *group;
            continue;
        }
        const json &timings = (*group)["recorded"];
        EXPECT_EQ(timings["calls"], row.calls);
        EXPECT_EQ(timings["mean_ms"], row.mean);
        EXPECT_EQ(timings["max_ms"], row.max);
        // Percentiles come from the histogram, within 0.8%.
        EXPECT_NEAR(timings["median_ms"].get<double>(), row.median, row.median * 0.008);
        EXPECT_NEAR(timings["p95_ms"].get<double>(), row.p95, row.p95 * 0.008);
    }
}

TEST(Report, FileProblemsAndFailedRuns) {
    temp_dir dir;
    struct row {
        const char *what;
        std::string path;
        std::string err;
    } rows[] = {
        {"missing directory", dir.file("missing/report.json"),
         "Error creating report file \"" + dir.file("missing/report.json") +
             "\": No such file or directory\n"},
        {"a directory", dir.path(),
         "Error creating report file \"" + dir.path() + "\": Is a directory\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        run_result result = run_utc({"-n", "-R", r.path, fixture});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");  // the run failed before it began
        EXPECT_EQ(result.err, r.err);
    }
    EXPECT_TRUE(files_in(dir.path()).empty());

    // A run that fails half way still leaves a whole report, marked failed,
    // in place of an older one, and no temporary file.
    write_file(dir.file("report.json"), "an older report");
    std::string log = read_file(fixture);
    log = log.substr(0, log.find("2026-01-01 10:00:01.000")) +
          "2026-01-01 10:00:01.000 UTC|alice|shop|1.a|LOG:  statement: SELECT /* x\n";
    run_result failed = run_utc({"-n", "-R", dir.file("report.json")}, log);
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err, "Error: comment not closed in line 12\n");
    json report = json::parse(read_file(dir.file("report.json")));
    EXPECT_EQ(report["run"]["outcome"], "failed");
    EXPECT_EQ(report["run"]["input"], nullptr);
    EXPECT_EQ(report["statements"][0]["calls"], 6);
    EXPECT_EQ(files_in(dir.path()), std::set<std::string>{"report.json"});
}

}  // namespace
