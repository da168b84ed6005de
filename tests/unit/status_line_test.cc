// The status line: what it says, and that it never stands in the way of
// other output.  The line itself is drawn on a pseudo-terminal put in
// place of standard error.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>

#include "database/database_state.h"
#include "database/schedule.h"
#include "main/progress.h"
#include "quillrun/messages.h"
#include "quillrun/settings.h"
#include "quillrun/status_line.h"
#include "support/capture.h"

namespace {

constexpr uint64_t mib = 1024 * 1024;
constexpr uint64_t gib = 1024 * mib;

input_progress log_input(uint64_t bytes, int64_t size, uint64_t lines, uint64_t statements) {
    input_progress input;
    input.bytes_consumed = bytes;
    input.size = size;
    input.counts_lines = true;
    input.lines = lines;
    input.counts_statements = true;
    input.statements = statements;
    return input;
}

std::string formatted(const input_line &line) {
    char text[400];
    format_input_line(line, text, sizeof text);
    return text;
}

std::string formatted(const replay_line &line) {
    char text[400];
    format_replay_line(line, text, sizeof text);
    return text;
}

TEST(StatusLine, SaysHowFarAParseHasCome) {
    struct row {
        const char *what;
        input_progress input;
        double elapsed;
        double rate;
        const char *expected;
    } rows[] = {
        {"a pipe: no size, no time left", log_input(512, -1, 10, 8), 30, -1,
         "Parsing 512 B, 10 lines, 8 statements"},
        {"a quarter of a file in a minute leaves three", log_input(gib + gib / 2, 6 * gib, 1234567, 1000),
         60, 25.6 * mib,
         "Parsing 1.5 GiB of 6.0 GiB (25.0%), 3m00s left, 1,234,567 lines, 1,000 statements, "
         "25.6 MiB/s"},
        {"the time left in hours", log_input(gib, 50 * gib, 0, 0), 3600, -1,
         "Parsing 1.0 GiB of 50.0 GiB (2.0%), 49h00m00s left, 0 lines, 0 statements"},
        {"no estimate within the first second", log_input(mib, 4 * mib, 5, 5), 0.5, -1,
         "Parsing 1.0 MiB of 4.0 MiB (25.0%), 5 lines, 5 statements"},
        {"nothing read yet", log_input(0, 4 * mib, 0, 0), 10, 0,
         "Parsing 0 B of 4.0 MiB (0.0%), 0 lines, 0 statements, 0 B/s"},
        {"at the end", log_input(4 * mib, 4 * mib, 99, 98), 10, -1,
         "Parsing 4.0 MiB of 4.0 MiB (100.0%), 99 lines, 98 statements"},
        {"a file that shrank", log_input(5 * mib, 4 * mib, 99, 98), 10, -1,
         "Parsing 5.0 MiB of 4.0 MiB (100.0%), 99 lines, 98 statements"},
        {"an empty file", log_input(0, 0, 0, 0), 10, -1,
         "Parsing 0 B of 0 B (100.0%), 0 lines, 0 statements"},
    };
    for (const row &r : rows) {
        input_line line;
        line.label = "Parsing";
        line.input = r.input;
        line.elapsed_seconds = r.elapsed;
        line.bytes_per_second = r.rate;
        EXPECT_EQ(formatted(line), r.expected) << r.what;
    }
    // A replay file has no lines.
    input_line reading;
    reading.label = "Reading";
    reading.input.bytes_consumed = 3 * 1024 + 512;
    reading.input.counts_statements = true;
    reading.input.statements = 12;
    EXPECT_EQ(formatted(reading), "Reading 3.5 KiB, 12 statements");
}

TEST(StatusLine, SaysWhereAReplayStands) {
    struct row {
        const char *what;
        int64_t recorded_seconds;
        int64_t size;
        int64_t lag;
        double rate;
        uint64_t sessions, errors;
        const char *expected;
    } rows[] = {
        {"a file, late", 5025, 8 * 1000, 3, 245.4, 17, 2,
         "Replaying 1h23m45s of the recording, input 12.5%, lag 3s, 245 statements/s, "
         "17 sessions, 2 errors"},
        {"a pipe, on time, rate not known yet", 59, -1, 0, -1, 1, 1,
         "Replaying 59s of the recording, input 1000 B, lag 0s, 1 session, 1 error"},
        {"far behind, slowly", 600, -1, 3725, 2.54, 0, 0,
         "Replaying 10m00s of the recording, input 1000 B, lag 1h02m05s, 2.5 statements/s, "
         "0 sessions, 0 errors"},
    };
    for (const row &r : rows) {
        replay_line line;
        line.input.bytes_consumed = 1000;
        line.input.size = r.size;
        line.replay.recorded_microseconds = r.recorded_seconds * 1000000 + 999999;
        line.replay.lag_seconds = r.lag;
        line.replay.open_sessions = r.sessions;
        line.replay.errors = r.errors;
        line.statements_per_second = r.rate;
        EXPECT_EQ(formatted(line), r.expected) << r.what;
    }
}

TEST(StatusLine, TextIsCutToTheRoomGiven) {
    input_line line;
    line.label = "Parsing";
    line.input = log_input(gib, 2 * gib, 1, 1);
    char text[12];
    format_input_line(line, text, sizeof text);
    EXPECT_EQ(std::string(text), "Parsing 1.0");
}

// Standard error on a pseudo-terminal for a test's scope; the terminal's
// side is read back raw.
class terminal_stderr {
public:
    explicit terminal_stderr(unsigned short columns = 100) {
        struct termios raw;
        cfmakeraw(&raw);
        struct winsize size = {};
        size.ws_col = columns;
        size.ws_row = 24;
        if (openpty(&master_, &slave_, nullptr, &raw, &size) != 0) ADD_FAILURE() << "openpty";
        fcntl(master_, F_SETFL, O_NONBLOCK);
        fflush(stderr);
        saved_ = dup(2);
        dup2(slave_, 2);
        const char *term = getenv("TERM");
        if (term != nullptr) saved_term_ = term;
        had_term_ = term != nullptr;
        setenv("TERM", "xterm", 1);
    }
    ~terminal_stderr() {
        status_line_stop();
        dup2(saved_, 2);
        close(saved_);
        close(slave_);
        close(master_);
        if (had_term_)
            setenv("TERM", saved_term_.c_str(), 1);
        else
            unsetenv("TERM");
    }
    terminal_stderr(const terminal_stderr &) = delete;
    terminal_stderr &operator=(const terminal_stderr &) = delete;

    // What was written to the terminal since the last call.
    std::string take() {
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = read(master_, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
        return text;
    }

private:
    int master_ = -1, slave_ = -1, saved_ = -1;
    std::string saved_term_;
    bool had_term_ = false;
};

const char *source_text = "";
void fixed_source(char *text, size_t size, double) { snprintf(text, size, "%s", source_text); }

TEST(StatusLine, IsClearedBeforeAnythingElseIsPrinted) {
    database_state state;
    struct row {
        const char *what;
        std::function<void()> print;
        std::string on_stderr;
        std::string on_stdout;
    } rows[] = {
        {"an error or warning", [] { print_error("Warning: %s\n", "careful"); }, "Warning: careful\n",
         ""},
        {"a failed system call",
         [] {
             errno = ENOENT;
             print_system_error("Error reading from input file");
         },
         "Error reading from input file: No such file or directory\n", ""},
        // The behind-schedule warning goes to standard output, which may be
        // the same terminal.
        {"a behind-schedule warning", [&state] { check_lag(state, 10); }, "",
         "Execution is 10 seconds behind schedule\n"},
    };
    for (const row &r : rows) {
        terminal_stderr terminal;
        source_text = "Parsing 1.0 MiB";
        ASSERT_TRUE(status_line_start(fixed_source)) << r.what;
        status_line_draw();
        EXPECT_EQ(terminal.take(), "\rParsing 1.0 MiB\x1b[K") << r.what;
        stream_capture out(stdout);
        r.print();
        EXPECT_EQ(terminal.take(), "\r\x1b[K" + r.on_stderr) << r.what;
        EXPECT_EQ(out.stop(), r.on_stdout) << r.what;
        EXPECT_FALSE(status_line_state.visible) << r.what;
        // It comes back at the next drawing.
        status_line_draw();
        EXPECT_EQ(terminal.take(), "\rParsing 1.0 MiB\x1b[K") << r.what;
    }
    EXPECT_EQ(state.counters.stat_max_lag, 10);
}

TEST(StatusLine, IsCutToTheTerminalAndDrawnOnlyWhenItChanges) {
    terminal_stderr terminal(20);
    source_text = "Parsing 1.0 MiB of 4.0 MiB (25.0%)";
    ASSERT_TRUE(status_line_start(fixed_source));
    status_line_draw();
    // One column stays free, so that the line never wraps.
    EXPECT_EQ(terminal.take(), "\rParsing 1.0 MiB of \x1b[K");
    status_line_draw();
    EXPECT_EQ(terminal.take(), "");
    source_text = "";
    status_line_draw();
    EXPECT_EQ(terminal.take(), "\r\x1b[K");
    source_text = "Parsing 2.0 MiB";
    status_line_draw();
    status_line_stop();
    EXPECT_EQ(terminal.take(), "\rParsing 2.0 MiB\x1b[K\r\x1b[K");
    status_line_draw();
    status_line_tick();
    EXPECT_EQ(terminal.take(), "");
}

TEST(StatusLine, StaysOffWhereItWouldBeNoise) {
    source_text = "Parsing";
    {
        // Not a terminal: the test's standard error is a file.
        stream_capture err(stderr);
        EXPECT_FALSE(status_line_start(fixed_source));
        status_line_draw();
        EXPECT_EQ(err.stop(), "");
    }
    for (const char *term : {"dumb", "", static_cast<const char *>(nullptr)}) {
        terminal_stderr terminal;
        if (term != nullptr)
            setenv("TERM", term, 1);
        else
            unsetenv("TERM");
        const char *shown = term != nullptr ? term : "(unset)";
        EXPECT_FALSE(status_line_start(fixed_source)) << "TERM=" << shown;
        status_line_draw();
        EXPECT_EQ(terminal.take(), "") << "TERM=" << shown;
    }
    {
        // Debug output fills standard error line by line.
        terminal_stderr terminal;
        debug_level_scope debug(1);
        EXPECT_FALSE(status_line_start(fixed_source));
        status_line_draw();
        EXPECT_EQ(terminal.take(), "");
    }
}

}  // namespace
