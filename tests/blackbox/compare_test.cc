// quillrun-compare through its binary, on small hand-made reports: what it
// judges a regression, its table, and its refusals of bad input.
#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/run_binary.h"

namespace {

using json = nlohmann::json;

json group(const std::string &key, const std::string &text, uint64_t calls, double mean,
           double p95) {
    return {{"key", key},      {"kind", "simple"},  {"parsed", true}, {"text", text},
            {"calls", calls},  {"errors", 0},       {"total_ms", mean * static_cast<double>(calls)},
            {"mean_ms", mean}, {"median_ms", mean}, {"p95_ms", p95},  {"p99_ms", p95},
            {"max_ms", p95}};
}

json error_group(const std::string &sqlstate, const std::string &message, uint64_t count,
                 const std::string &key) {
    return {{"sqlstate", sqlstate}, {"message", message}, {"count", count}, {"statements", {key}}};
}

// A lookup, an update and a slow statement with few calls.
json baseline_groups() {
    return json::array({group("simple:a", "SELECT a FROM t WHERE id = $1", 100, 1.0, 2.0),
                        group("simple:b", "UPDATE t\n   SET v = $1", 100, 1.0, 2.0),
                        group("simple:c", "SELECT pg_sleep($1)", 5, 200, 210)});
}

json report(json groups, json errors = json::array()) {
    return {{"format", "quillrun report"},
            {"format_version", 1},
            {"quillrun_version", "1.5.0"},
            {"run",
             {{"outcome", "complete"},
              {"dry_run", false},
              {"server_version", "15.5"},
              {"items", 300},
              {"digest", "d1e2"}}},
            {"totals",
             {{"run_time_s", 10.0},
              {"statement_time_s", 4.0},
              {"statements", 205},
              {"errors", 0}}},
            {"statements", std::move(groups)},
            {"errors", std::move(errors)}};
}

class Compare : public testing::Test {
protected:
    // Writes both reports and compares them with the given options.
    run_result compare(const json &baseline, const json &candidate,
                       std::vector<std::string> options = {}) {
        write_file(dir.file("base.json"), baseline.dump());
        write_file(dir.file("cand.json"), candidate.dump());
        options.push_back(dir.file("base.json"));
        options.push_back(dir.file("cand.json"));
        return run_compare(options);
    }
    temp_dir dir;
};

TEST_F(Compare, TheTableOfARegression) {
    json candidate = baseline_groups();
    candidate[1]["mean_ms"] = 1.5;
    candidate[1]["p95_ms"] = 8.0;
    json after = report(candidate, {error_group("42P01", "relation \"t\" does not exist", 7,
                                                "simple:b")});
    after["totals"]["run_time_s"] = 12.5;
    after["totals"]["errors"] = 7;
    run_result result = compare(report(baseline_groups()), after);
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(
        result.out,
        "Baseline:  " + dir.file("base.json") + " (PostgreSQL 15.5)\n"
        "Candidate: " + dir.file("cand.json") + " (PostgreSQL 15.5)\n"
        "Recording: 300 items, digest d1e2\n\n"
        "                               baseline      candidate    ratio\n"
        "Total replay time              10.000 s       12.500 s     1.25\n"
        "Statement time                  4.000 s        4.000 s     1.00\n"
        "SQL statements                      205            205\n"
        "Errors                                0              7\n\n"
        "Statement groups whose mean or 95th percentile changed by more than 20% (at least 10 "
        "calls in both runs), worst first:\n\n"
        "            mean (ms)                      95th percentile (ms)           \n"
        "     calls   baseline  candidate    ratio   baseline  candidate    ratio  statement\n"
        "       100      1.000      1.500     1.50      2.000      8.000     4.00  "
        "UPDATE t SET v = $1\n\n"
        "Error groups that are new, gone or changed in count:\n\n"
        "         baseline  candidate  SQLSTATE message\n"
        "new             0          7  42P01    relation \"t\" does not exist\n"
        "                                       in: UPDATE t SET v = $1\n\n"
        "Regression beyond 20%: 1 statement group slower, 1 error group new or more frequent.\n");
}

// Each case changes the candidate (or both) and names the rows the table
// must show, in order, and those it must not.
TEST_F(Compare, WhatCountsAsARegression) {
    struct row {
        const char *what;
        std::function<void(json &groups, json &before_errors, json &after_errors)> change;
        std::vector<std::string> options;
        int status;
        std::vector<std::string> shown;
        std::vector<std::string> hidden;
    } rows[] = {
        {"nothing changed", [](json &, json &, json &) {}, {}, 0,
         {"No statement group with at least 10 calls in both runs changed its mean or 95th "
          "percentile by more than 20%.",
          "No error group is new, gone or changed in count.", "No regression beyond 20%."},
         {"SELECT"}},
        {"mean up 30%", [](json &g, json &, json &) { g[0]["mean_ms"] = 1.3; }, {}, 1,
         {"1.30", "SELECT a FROM t", "1 statement group slower, 0 error groups"}, {}},
        {"mean up 15%", [](json &g, json &, json &) { g[0]["mean_ms"] = 1.15; }, {}, 0, {},
         {"SELECT a FROM t"}},
        {"mean up exactly 20%", [](json &g, json &, json &) { g[0]["mean_ms"] = 1.2; }, {}, 0,
         {}, {"SELECT a FROM t"}},
        {"only the 95th percentile up", [](json &g, json &, json &) { g[0]["p95_ms"] = 3.0; },
         {}, 1, {"1.00      2.000      3.000     1.50  SELECT a FROM t"}, {}},
        {"faster is shown but is no regression",
         [](json &g, json &, json &) { g[0]["mean_ms"] = 0.5; }, {}, 0,
         {"0.50", "SELECT a FROM t", "No regression beyond 20%."}, {}},
        {"few calls are left out",
         [](json &g, json &, json &) { g[2]["mean_ms"] = 2000; }, {}, 0, {}, {"pg_sleep"}},
        {"unless the minimum is lowered",
         [](json &g, json &, json &) { g[2]["mean_ms"] = 2000; }, {"-m", "5"}, 1,
         {"10.00", "pg_sleep"}, {}},
        {"a higher threshold", [](json &g, json &, json &) { g[0]["mean_ms"] = 1.3; },
         {"-t", "50"}, 0, {"No regression beyond 50%."}, {"SELECT a FROM t"}},
        {"a lower threshold", [](json &g, json &, json &) { g[0]["mean_ms"] = 1.15; },
         {"-t", "12.5"}, 1, {"more than 12.5%", "SELECT a FROM t"}, {}},
        {"worst first",
         [](json &g, json &, json &) {
             g[0]["mean_ms"] = 2.0;
             g[1]["mean_ms"] = 5.0;
         },
         {}, 1, {"UPDATE t SET v", "SELECT a FROM t", "2 statement groups slower"}, {}},
        {"an error group is gone",
         [](json &, json &before, json &) {
             before.push_back(error_group("23505", "dup", 4, "simple:b"));
         },
         {}, 0, {"gone            4          0  23505    dup", "in: UPDATE t SET v = $1"}, {}},
        {"an error group grew a little",
         [](json &, json &before, json &after) {
             before.push_back(error_group("40P01", "deadlock detected", 10, "simple:b"));
             after.push_back(error_group("40P01", "deadlock detected", 11, "simple:b"));
         },
         {}, 0, {"more           10         11  40P01", "No regression"}, {}},
        {"an error group grew beyond the threshold",
         [](json &, json &before, json &after) {
             before.push_back(error_group("40P01", "deadlock detected", 10, "simple:b"));
             after.push_back(error_group("40P01", "deadlock detected", 13, "simple:b"));
         },
         {}, 1, {"more           10         13  40P01", "1 error group new or more frequent"}, {}},
        {"an error group shrank",
         [](json &, json &before, json &after) {
             before.push_back(error_group("40P01", "deadlock detected", 10, "simple:b"));
             after.push_back(error_group("40P01", "deadlock detected", 5, "simple:b"));
         },
         {}, 0, {"fewer          10          5  40P01"}, {}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        json groups = baseline_groups();
        json before_errors = json::array(), after_errors = json::array();
        r.change(groups, before_errors, after_errors);
        run_result result = compare(report(baseline_groups(), before_errors),
                                    report(groups, after_errors), r.options);
        EXPECT_EQ(result.status, r.status) << result.out << result.err;
        EXPECT_EQ(result.err, "");
        size_t at = 0;
        for (const std::string &part : r.shown) {
            size_t found = result.out.find(part, at);
            EXPECT_NE(found, std::string::npos) << "missing or out of order: " << part << "\n"
                                                << result.out;
            if (found != std::string::npos) at = found;
        }
        for (const std::string &part : r.hidden)
            EXPECT_EQ(result.out.find(part), std::string::npos) << part << "\n" << result.out;
    }
}

TEST_F(Compare, BadInputExitsTwoWithAClearMessage) {
    const std::string usage = run_compare({"-h"}).out;
    ASSERT_NE(usage.find("Usage: quillrun-compare"), std::string::npos);
    const json good = report(baseline_groups());
    auto with = [&](const std::function<void(json &)> &change) {
        json changed = good;
        change(changed);
        return changed.dump();
    };
    const std::string base = dir.file("base.json");
    struct row {
        const char *what;
        std::string content;  // of the baseline report; the candidate is good
        std::string message;  // after "Error: "; the name of the file stands for itself
    } rows[] = {
        {"empty file", "", "report \"" + base + "\" is not valid JSON: "},
        {"not JSON", "hello", "report \"" + base + "\" is not valid JSON: "},
        {"truncated", good.dump().substr(0, good.dump().size() / 2),
         "report \"" + base + "\" is not valid JSON: "},
        {"a list", "[1, 2]", "cannot compare \"" + base + "\": it is not a quillrun report\n"},
        {"another format", with([](json &r) { r["format"] = "something else"; }),
         "cannot compare \"" + base + "\": it is not a quillrun report\n"},
        {"a newer format", with([](json &r) { r["format_version"] = 2; }),
         "cannot compare \"" + base + "\": its format version is 2; this program reads 1\n"},
        {"a dry run", with([](json &r) { r["run"]["dry_run"] = true; }),
         "cannot compare \"" + base + "\": it is the report of a dry run, which has no timings\n"},
        {"an interrupted run", with([](json &r) { r["run"]["outcome"] = "interrupted"; }),
         "cannot compare \"" + base +
             "\": it is the report of an interrupted replay; a comparison needs complete runs\n"},
        {"a failed run", with([](json &r) { r["run"]["outcome"] = "failed"; }),
         "cannot compare \"" + base +
             "\": it is the report of a replay that ended with an error; a comparison needs "
             "complete runs\n"},
        {"a missing field", with([](json &r) { r["statements"][1].erase("calls"); }),
         "cannot compare \"" + base + "\": statements[1].calls is missing\n"},
        {"a text for a number", with([](json &r) { r["totals"]["run_time_s"] = "10"; }),
         "cannot compare \"" + base + "\": totals.run_time_s is not a number\n"},
        {"a negative count",
         with([](json &r) {
             r["errors"] = {error_group("42P01", "x", 1, "simple:a")};
             r["errors"][0]["count"] = -1;
         }),
         "cannot compare \"" + base +
             "\": errors[0].count is not a count (a whole number, 0 or more)\n"},
        {"statements not a list", with([](json &r) { r["statements"] = 3; }),
         "cannot compare \"" + base + "\": statements is not a list\n"},
        {"run not an object", with([](json &r) { r["run"] = "complete"; }),
         "cannot compare \"" + base + "\": run is not an object\n"},
        {"another recording", with([](json &r) { r["run"]["digest"] = "0ther"; }),
         "\"" + base + "\" and \"" + dir.file("cand.json") +
             "\" are reports of different recordings (300 and 300 items, and their digests "
             "differ)\n"},
    };
    write_file(dir.file("cand.json"), good.dump());
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        write_file(base, r.content);
        run_result result = run_compare({base, dir.file("cand.json")});
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_TRUE(result.err.starts_with("Error: " + r.message)) << result.err;
        EXPECT_TRUE(result.err.ends_with("\n"));
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;  // one line
    }
    run_result missing = run_compare({dir.file("none.json"), dir.file("cand.json")});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.err, "Error: cannot read report \"" + dir.file("none.json") +
                               "\": No such file or directory\n");

    struct option_row {
        std::vector<std::string> args;
        std::string message;
    } option_rows[] = {
        {{"-t", "x", "a", "b"}, "Error: -t needs a percentage greater than 0: \"x\"\n"},
        {{"-t", "0", "a", "b"}, "Error: -t needs a percentage greater than 0: \"0\"\n"},
        {{"-m", "-1", "a", "b"}, "Error: -m needs a number of calls: \"-1\"\n"},
        {{"-t"}, "Error: unknown option -t\n"},
        {{"-x", "a", "b"}, "Error: unknown option -x\n"},
        {{"a"}, "Error: two reports are needed, the baseline and the candidate\n"},
        {{"a", "b", "c"}, "Error: two reports are needed, the baseline and the candidate\n"},
    };
    for (const auto &r : option_rows) {
        SCOPED_TRACE(r.message);
        run_result result = run_compare(r.args);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, r.message + usage);
    }
    EXPECT_EQ(run_compare({"-v"}).out, "quillrun-compare 1.5.0\n");
    EXPECT_EQ(run_compare({"-v"}).status, 0);
}

}  // namespace
