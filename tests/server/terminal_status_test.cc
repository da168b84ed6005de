// The status line as a person sees it: quillrun typed into a shell in a
// tmux pane, the screen read while it runs and after it has ended.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/pg_server.h"
#include "support/run_binary.h"
#include "support/tmux_pane.h"

namespace {

std::string log_entry(int tenths, const std::string &message) {
    char time[16];
    snprintf(time, sizeof time, "%02d.%d", tenths / 10, tenths % 10);
    return std::string("2026-01-01 10:00:") + time + "00 UTC|postgres|postgres|1.a|LOG:  " + message +
           "\n";
}

// One session with a statement every tenth of a second, for `seconds`.
std::string paced_log(int seconds) {
    std::string log = log_entry(0, "connection authorized: user=postgres database=postgres");
    for (int tenths = 1; tenths <= seconds * 10; ++tenths)
        log += log_entry(tenths, "statement: SELECT " + std::to_string(tenths));
    return log;
}

bool starts_with(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

TEST(TerminalStatus, ShowsProgressWhileRunningAndIsGoneWhenTheStatisticsPrint) {
    if (!tmux_pane::available()) GTEST_SKIP() << "tmux is not installed: the terminal test needs it";
    pg_server server;
    temp_dir dir;
    const std::string binary = QUILLRUN_BINARY;

    // The dry run reads a log that arrives through a pipe in pieces.
    const std::string log = paced_log(30);
    const size_t pieces = 15;
    for (size_t i = 0; i < pieces; ++i) {
        size_t from = log.size() * i / pieces, to = log.size() * (i + 1) / pieces;
        char name[32];
        snprintf(name, sizeof name, "piece.%02zu", i);
        write_file(dir.file(name), log.substr(from, to - from));
    }
    write_file(dir.file("replay.log"), paced_log(4));

    struct row {
        const char *what;
        std::string command;
        const char *label;
        std::regex growing;  // the figure that must grow while it runs
        const char *last_title;
    } rows[] = {
        {"a dry run fed slowly through a pipe",
         "for f in " + shell_quote(dir.path()) + "/piece.*; do cat \"$f\"; sleep 0.2; done | " +
             shell_quote(binary) + " -n",
         "Parsing ", std::regex(", ([0-9,]+) statements"), "Replay statistics (dry run)"},
        {"a replay against a server",
         shell_quote(binary) + " -h " + shell_quote(server.socket_dir()) + " -p 5432 " +
             shell_quote(dir.file("replay.log")),
         "Replaying ", std::regex("^Replaying ([0-9]+)s of the recording"), "Replay statistics"},
    };
    for (const row &r : rows) {
        tmux_pane pane(120, 60);
        write_file(dir.file("run.sh"), "export TZ=UTC\nclear\n" + r.command +
                                           "\necho \"quillrun exited with $?\"\n");
        pane.type("sh " + shell_quote(dir.file("run.sh")));

        std::vector<std::string> seen;  // the status line of each capture that showed one
        std::vector<std::string> last;
        bool ended = false;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!ended && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            last = pane.screen();
            for (const std::string &line : last) {
                if (starts_with(line, r.label)) seen.push_back(line);
                if (starts_with(line, "quillrun exited with ")) ended = true;
            }
        }
        ASSERT_TRUE(ended) << r.what;

        // It appeared and it changed: the figure grew between the first
        // capture and the last.
        std::set<std::string> distinct(seen.begin(), seen.end());
        ASSERT_GE(distinct.size(), 2u) << r.what;
        auto figure = [&](const std::string &line) {
            std::smatch match;
            EXPECT_TRUE(std::regex_search(line, match, r.growing)) << r.what << ": " << line;
            std::string digits;
            for (char c : match.size() > 1 ? match[1].str() : "0")
                if (c != ',') digits += c;
            return std::stol(digits);
        };
        EXPECT_LT(figure(seen.front()), figure(seen.back())) << r.what;

        // Once the statistics print, the screen holds them and no status
        // text, above them or after them.
        std::string screen;
        for (const std::string &line : last) screen += line + "\n";
        EXPECT_NE(screen.find("\nParse statistics\n================\n"), std::string::npos)
            << r.what << ":\n" << screen;
        EXPECT_NE(screen.find("\n" + std::string(r.last_title) + "\n"), std::string::npos)
            << r.what << ":\n" << screen;
        EXPECT_NE(screen.find("\nquillrun exited with 0\n"), std::string::npos) << r.what << ":\n"
                                                                                 << screen;
        for (const std::string &line : last)
            EXPECT_FALSE(starts_with(line, r.label)) << r.what << ":\n" << screen;
    }
}

}  // namespace
