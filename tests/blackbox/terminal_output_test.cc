// The status line through the binary: each run is made twice, with
// standard error a pipe and a terminal, and the terminal's bytes must be
// the pipe's plus the status line, never in the way of anything else.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "support/run_binary.h"

namespace {

// A log of one session whose statements include a COPY now and then, so
// that warnings come while the line is on the screen; none in the last
// third, so that the line stands when the input ends.
std::string slow_log() {
    std::string log =
        "2026-01-01 10:00:00.000 UTC|alice|shop|1.a|LOG:  connection authorized: user=alice "
        "database=shop\n";
    for (int i = 0; i < 600; ++i) {
        bool copy = i % 50 == 49 && i < 400;
        std::string statement = copy ? "COPY t FROM STDIN" : "SELECT " + std::to_string(i);
        log += "2026-01-01 10:00:" + std::to_string(10 + i / 20) + ".000 UTC|alice|shop|1.a|LOG:  " +
               "statement: " + statement + "\n";
    }
    return log;
}

// What a terminal got: the status line's drawings and everything else.
struct terminal_view {
    std::string other;
    std::vector<std::string> drawn;
    size_t other_before_last_drawing = 0;  // how much of `other` came before it
    std::vector<std::string> faults;
};

// The line is drawn as "\r" TEXT "\x1b[K" and cleared as "\r\x1b[K";
// anything else written while text stands on the screen lands after it.
terminal_view read_terminal(const std::string &bytes) {
    terminal_view view;
    bool visible = false;
    for (size_t i = 0; i < bytes.size();) {
        if (bytes[i] == '\r') {
            size_t erase = bytes.find("\x1b[K", i);
            if (erase == std::string::npos) {
                view.faults.push_back("a carriage return without an erase");
                view.other += bytes.substr(i);
                break;
            }
            std::string text = bytes.substr(i + 1, erase - i - 1);
            if (text.find('\n') != std::string::npos) view.faults.push_back("a line end in " + text);
            visible = !text.empty();
            if (visible) {
                view.drawn.push_back(text);
                view.other_before_last_drawing = view.other.size();
            }
            i = erase + 3;
            continue;
        }
        if (visible) {
            view.faults.push_back("written after the line: " + bytes.substr(i, bytes.find('\n', i) - i));
            visible = false;
        }
        view.other += bytes[i++];
    }
    if (visible) view.faults.push_back("the line was left on the screen");
    return view;
}

TEST(TerminalOutput, OnlyTheStatusLineIsAddedAndItIsAlwaysCleared) {
    temp_dir dir;
    const std::string log = slow_log();
    const std::string replay_file = dir.file("workload.replay");
    run_request make;
    make.args = {"-f", "-o", replay_file};
    make.input = log;
    make.env = {{"TZ", "UTC"}};
    ASSERT_EQ(run_quillrun(make).status, 0);
    const std::string replay = read_file(replay_file);

    struct row {
        const char *what;
        std::vector<std::string> args;
        const std::string &input;
        const char *term;
        unsigned short columns;
        const char *label;  // how every drawing begins; null: nothing drawn
    } rows[] = {
        {"a dry run of a log", {"-n"}, log, "xterm", 100, "Parsing "},
        {"writing a replay file", {"-f", "-o", "OUT"}, log, "xterm", 100, "Parsing "},
        // The statistics then share standard error with the line.
        {"a replay file on standard output", {"-f"}, log, "xterm", 100, "Parsing "},
        {"a dry run of a replay file", {"-r", "-n"}, replay, "xterm-256color", 100, "Reading "},
        {"a narrow terminal", {"-n"}, log, "xterm", 30, "Parsing "},
        {"a terminal that cannot erase", {"-n"}, log, "dumb", 100, nullptr},
    };
    for (const row &r : rows) {
        run_result runs[2];
        std::string written[2];
        for (int terminal = 0; terminal < 2; ++terminal) {
            run_request request;
            request.args = r.args;
            const std::string out_file = dir.file("out" + std::to_string(terminal));
            for (std::string &arg : request.args)
                if (arg == "OUT") arg = out_file;
            // About a second and a half: the line shows after a quarter.
            request.input = r.input;
            request.input_piece = r.input.size() / 12 + 1;
            request.input_interval = 0.12;
            request.env = {{"TZ", "UTC"}, {"TERM", r.term}};
            request.error_terminal_columns = terminal ? r.columns : 0;
            runs[terminal] = run_quillrun(request);
            if (r.args.size() > 1 && r.args[1] == "-o") written[terminal] = read_file(out_file);
        }
        const run_result &piped = runs[0], &on_terminal = runs[1];
        EXPECT_EQ(piped.status, 0) << r.what << ": " << piped.err;
        EXPECT_EQ(on_terminal.status, piped.status) << r.what;
        EXPECT_EQ(on_terminal.out, piped.out) << r.what;
        EXPECT_EQ(written[1], written[0]) << r.what;
        terminal_view view = read_terminal(on_terminal.err);
        EXPECT_EQ(view.other, piped.err) << r.what;
        EXPECT_EQ(view.faults, std::vector<std::string>{}) << r.what;
        // A log's warnings come while the line is shown, and the line is
        // drawn again after the last one, so that it stands when the run
        // ends; a replay file has no warnings.
        if (&r.input == &log && r.label != nullptr) {
            size_t last_warning = piped.err.rfind("Warning: COPY statement ignored");
            EXPECT_NE(last_warning, std::string::npos) << r.what;
            EXPECT_GT(view.other_before_last_drawing, last_warning) << r.what;
        }
        if (r.label == nullptr) {
            EXPECT_EQ(on_terminal.err, piped.err) << r.what;
            continue;
        }
        // It moves: several different drawings, each within the terminal.
        std::set<std::string> distinct(view.drawn.begin(), view.drawn.end());
        EXPECT_GE(distinct.size(), 2u) << r.what << ": " << on_terminal.err;
        for (const std::string &text : view.drawn) {
            EXPECT_EQ(text.rfind(r.label, 0), 0u) << r.what << ": " << text;
            EXPECT_LT(text.size(), r.columns) << r.what << ": " << text;
        }
    }
}

}  // namespace
