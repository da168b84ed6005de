// Exit statuses through the binary: output that cannot be written fails the
// run, and SIGINT or SIGTERM end it in order with 128 + the signal number.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdio>

#include <functional>
#include <string>
#include <vector>

#include "support/run_binary.h"

namespace {

const std::string fixture = std::string(QUILLRUN_SOURCE_DIR) + "/tests/fixtures/small.log";

const char replay_interrupted[] =
    "\nReplay interrupted by %s: the statistics cover what was replayed until then\n";

std::string interrupted_by(const char *name) {
    char line[200];
    snprintf(line, sizeof line, replay_interrupted, name);
    return line;
}

TEST(ExitStatus, FailedWritesAndSignals) {
    const std::string replay_file = run_quillrun({"-f"}, session_log(2000)).out;
    ASSERT_GT(replay_file.size(), 10000u);

    struct row {
        const char *what;
        std::vector<std::string> args;
        std::function<void(run_request &)> prepare;
        int status;
        int signal;               // the signal that ended the program, 0 when it exited
        std::string out_start;    // standard output begins with this ("" : is empty)
        std::string out_part;     // and holds this
        std::string err_part;     // standard error holds this
    } rows[] = {
        {"statistics on a full device", {"-n", fixture},
         [](run_request &r) { r.output_file = "/dev/full"; }, 1, 0, "", "",
         "Error writing statistics: No space left on device\n"},
        {"statistics into a closed pipe", {"-n", fixture},
         [](run_request &r) { r.output_closed = true; }, 1, 0, "", "",
         "Error writing statistics: Broken pipe\n"},
        // The error comes before the statistics, and none follow it.
        {"a replay file into a closed pipe", {"-f", fixture},
         [](run_request &r) { r.output_closed = true; }, 1, 0, "", "",
         "Warning: COPY statement ignored in line 6\nError writing to output file: Broken pipe\n"},
        {"SIGINT during a dry run", {"-n", "-d", "1"},
         [](run_request &r) {
             feed_slowly(r, session_log(2000), 400, 0.02);
             r.actions = {{"Item:", 0, SIGINT}};
         },
         128 + SIGINT, 0, interrupted_by("SIGINT") + "\nParse statistics\n",
         "\nReplay statistics (dry run)\n", ""},
        {"SIGTERM during a dry run of a replay file", {"-r", "-n", "-d", "1"},
         [&replay_file](run_request &r) {
             feed_slowly(r, replay_file, 400, 0.02);
             r.actions = {{"Item:", 0, SIGTERM}};
         },
         128 + SIGTERM, 0, interrupted_by("SIGTERM") + "\nReplay statistics (dry run)\n", "",
         ""},
        {"SIGTERM while writing a replay file", {"-f", "-d", "1"},
         [](run_request &r) {
             feed_slowly(r, session_log(2000), 400, 0.02);
             r.actions = {{"Item:", 0, SIGTERM}};
         },
         128 + SIGTERM, 0, "", "", "Interrupted by SIGTERM before the replay file was complete\n"},
        // The parser waits for the next piece of input, a minute away: the
        // signal ends the wait, and the run, at once.
        {"SIGINT while the input is quiet", {"-n", "-d", "1"},
         [](run_request &r) {
             feed_slowly(r, session_log(2000), session_log(4).size(), 60);
             r.actions = {{"= SELECT 1001\n", 0.5, SIGINT}};
         },
         128 + SIGINT, 0, interrupted_by("SIGINT") + "\nParse statistics\n", "", ""},
        // A second signal while the first is handled ends the program at
        // once, by that signal.
        {"a second signal", {"-n", "-d", "1"},
         [](run_request &r) {
             feed_slowly(r, session_log(2000), session_log(4).size(), 60);
             r.actions = {{"= SELECT 1001\n", 0.5, 0, false,
                           [](int pid) { send_two_signals(pid, SIGINT, SIGTERM); }}};
         },
         128 + SIGTERM, SIGTERM, "", "", ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        run_request request;
        request.args = row.args;
        request.timeout_seconds = 30;
        row.prepare(request);
        run_result result = run_quillrun(request);
        EXPECT_EQ(result.status, row.status) << result.err.substr(0, 300);
        EXPECT_EQ(result.signal, row.signal);
        if (row.out_start.empty()) {
            EXPECT_EQ(result.out, "");
        } else {
            EXPECT_TRUE(result.out.starts_with(row.out_start)) << result.out.substr(0, 300);
        }
        EXPECT_NE(result.out.find(row.out_part), std::string::npos) << result.out.substr(0, 300);
        EXPECT_NE(result.err.find(row.err_part), std::string::npos) << result.err.substr(0, 300);
        if (row.status == 1) {
            EXPECT_EQ(result.err.find("Parse statistics"), std::string::npos) << result.err;
        }
        // An interrupt is not an error of its own.
        EXPECT_EQ(result.err.find("Error reading"), std::string::npos) << result.err.substr(0, 300);
    }
}

}  // namespace
