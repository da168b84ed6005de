// The three forms through the binary: parse and dry run, write a replay file,
// read it back; with the replay file's error messages.
#include <gtest/gtest.h>

#include <string>

#include "support/run_binary.h"

namespace {

const std::string fixture = std::string(QUILLRUN_SOURCE_DIR) + "/tests/fixtures/small.log";

const char parse_report[] =
    "\nParse statistics\n"
    "================\n\n"
    "Log lines read: 6\n"
    "Total SQL statements processed: 3\n"
    "Simple SQL statements processed: 2\n"
    "(includes 1 ignored copy statements)\n"
    "Parametrized SQL statements processed: 0\n"
    "Named prepared SQL statements executions processed: 1\n"
    "Different named prepared SQL statements processed: 1\n"
    "(average reuse count 0.000)\n"
    "Cancel requests processed: 0\n"
    "Fast-path function calls ignored: 0\n"
    "Duration of recorded workload: 2.250 seconds\n";

// connect alice, execute, prepare, exec_prepared, connect bob (made up),
// execute (blanked COPY), disconnect alice, disconnect bob at the end.
const char dry_run_report[] =
    "\nReplay statistics (dry run)\n"
    "===========================\n\n"
    "Duration of recorded workload: 2.250 seconds\n"
    "Calls to the server: 8\n"
    "Total number of connections: 2\n"
    "Maximum number of concurrent connections: 2\n"
    "SQL statements executed: 3\n";

run_result run_utc(std::vector<std::string> args, const std::string &input = "") {
    run_request request;
    request.args = std::move(args);
    request.input = input;
    request.env = {{"TZ", "UTC"}};
    return run_quillrun(request);
}

TEST(Forms, DryRunOfALogPrintsBothReports) {
    run_result result = run_utc({"-n", fixture});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, std::string(parse_report) + dry_run_report);
    EXPECT_EQ(result.err, "Warning: COPY statement ignored in line 6\n");
}

TEST(Forms, LogFromStandardInput) {
    run_result result = run_utc({"-n"}, read_file(fixture));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, std::string(parse_report) + dry_run_report);
}

// The same workload as a jsonlog log, recognised without an option both in
// a file and through a pipe; only its lines are fewer.
TEST(Forms, JsonlogLogFromAFileOrStandardInput) {
    const std::string json_fixture = std::string(QUILLRUN_SOURCE_DIR) + "/tests/fixtures/small.json";
    std::string report = std::string(parse_report) + dry_run_report;
    report.replace(report.find("Log lines read: 6"), 17, "Log lines read: 5");
    for (bool piped : {false, true}) {
        run_result result = piped ? run_utc({"-n"}, read_file(json_fixture))
                                  : run_utc({"-n", json_fixture});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, report) << "piped " << piped;
        EXPECT_EQ(result.err, "Warning: COPY statement ignored in line 4\n");
    }
}

// A program that shares the server's standard error may write empty lines
// into its log; the workload after them must not be lost.
TEST(Forms, EmptyLinesInAStderrLogAreSkipped) {
    std::string log = read_file(fixture);
    log.insert(log.find('\n') + 1, "\n\n");
    log += "\n";
    run_result result = run_utc({"-n"}, log);
    EXPECT_EQ(result.status, 0) << result.err;
    std::string report = std::string(parse_report) + dry_run_report;
    report.replace(report.find("Log lines read: 6"), 17, "Log lines read: 9");
    EXPECT_EQ(result.out, report);
    EXPECT_EQ(result.err, "Warning: COPY statement ignored in line 8\n");
}

TEST(Forms, ReplayFileRoundTripGivesTheSameDryRun) {
    temp_dir dir;
    run_result written = run_utc({"-f", "-o", dir.file("small.qr"), fixture});
    EXPECT_EQ(written.status, 0) << written.err;
    EXPECT_EQ(written.out, parse_report);  // statistics on standard output with -o FILE

    run_result replayed = run_utc({"-r", "-n", dir.file("small.qr")});
    EXPECT_EQ(replayed.status, 0) << replayed.err;
    EXPECT_EQ(replayed.out, dry_run_report);
    EXPECT_EQ(replayed.err, "");

    // The same file read from standard input.
    run_result piped = run_utc({"-r", "-n"}, read_file(dir.file("small.qr")));
    EXPECT_EQ(piped.out, dry_run_report);
}

TEST(Forms, ReplayFileOnStandardOutputKeepsStatisticsOut) {
    temp_dir dir;
    run_result to_file = run_utc({"-f", "-o", dir.file("a.qr"), fixture});
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-f", fixture}, {"-f", "-o", "-", fixture},
          {"-f", "-o", "", fixture}}) {
        run_result result = run_utc(args);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, read_file(dir.file("a.qr")));
        EXPECT_EQ(result.err,
                  "Warning: COPY statement ignored in line 6\n" + std::string(parse_report));
    }
}

TEST(Forms, EmptyReplayFileIsAnEmptyWorkload) {
    temp_dir dir;
    write_file(dir.file("empty.qr"), "");
    run_result result = run_utc({"-r", "-n", dir.file("empty.qr")});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find("Calls to the server: 0\n"), std::string::npos);
}

TEST(Forms, DamagedReplayFilesFailWithoutStatistics) {
    temp_dir dir;
    ASSERT_EQ(run_utc({"-f", "-o", dir.file("good.qr"), fixture}).status, 0);
    const std::string good = read_file(dir.file("good.qr"));
    ASSERT_GT(good.size(), 100u);

    // Cut the file at every length that is not the end of a record.
    size_t record_ends = 0, cuts = 0;
    std::string expected_out_before_cut;
    for (size_t length = 1; length < good.size(); ++length) {
        write_file(dir.file("cut.qr"), good.substr(0, length));
        run_result result = run_utc({"-r", "-n", dir.file("cut.qr")});
        if (result.status == 0) {
            ++record_ends;  // a whole number of records: a shorter, valid file
            EXPECT_EQ(good[length - 1], '\n');
            continue;
        }
        ++cuts;
        EXPECT_EQ(result.status, 1) << length;
        EXPECT_EQ(result.out, "") << length;
        EXPECT_EQ(result.err, "Error: unexpected end of file on input file\n") << length;
    }
    EXPECT_EQ(record_ends, 7u);  // eight records, the last one is the whole file
    EXPECT_EQ(cuts, good.size() - 1 - 7);

    std::string unknown_type = good;
    unknown_type[16] = 6;
    write_file(dir.file("type.qr"), unknown_type);
    run_result type_result = run_utc({"-r", "-n", dir.file("type.qr")});
    EXPECT_EQ(type_result.status, 1);
    EXPECT_EQ(type_result.err, "Error: unknown type 6 encountered\n");
    EXPECT_EQ(type_result.out, "");

    std::string no_newline = good;
    no_newline.back() = 'X';
    write_file(dir.file("newline.qr"), no_newline);
    run_result newline_result = run_utc({"-r", "-n", dir.file("newline.qr")});
    EXPECT_EQ(newline_result.status, 1);
    EXPECT_EQ(newline_result.err, "Error: missing new-line at end of line\n");
}

TEST(Forms, MissingInputFilesAreReported) {
    run_result log = run_utc({"-n", "/nonexistent/x.log"});
    EXPECT_EQ(log.status, 1);
    EXPECT_EQ(log.out, "");
    EXPECT_EQ(log.err,
              "Error opening input file: No such file or directory\n"
              "Error closing input file:: Bad file descriptor\n");
    run_result file = run_utc({"-r", "-n", "/nonexistent/x.qr"});
    EXPECT_EQ(file.status, 1);
    EXPECT_EQ(file.err,
              "Error opening input file:: No such file or directory\n"
              "Error closing input file:: Bad file descriptor\n");
    temp_dir dir;
    run_result out = run_utc({"-f", "-o", dir.file("missing/dir/x.qr"), fixture});
    EXPECT_EQ(out.status, 1);
    EXPECT_NE(out.err.find("Error opening output file:: No such file or directory\n"),
              std::string::npos)
        << out.err;
}

}  // namespace
