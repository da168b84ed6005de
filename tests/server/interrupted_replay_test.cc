// A replay against a real server, interrupted by SIGINT: it ends promptly
// with status 130 and prints the statistics of what it replayed.
#include <gtest/gtest.h>

#include <signal.h>

#include <string>

#include "support/pg_server.h"
#include "support/run_binary.h"

namespace {

std::string entry(const std::string &time, const std::string &message) {
    return "2026-01-01 10:" + time + " UTC|postgres|postgres|1.a|LOG:  " + message + "\n";
}

TEST(InterruptedReplay, EndsPromptlyWithTheStatisticsSoFar) {
    pg_server server;
    const std::string connect =
        entry("00:00.000", "connection authorized: user=postgres database=postgres");
    struct row {
        const char *what;
        std::string log;
        std::string signal_after;  // debug output at which SIGINT is sent
    } rows[] = {
        {"while a statement runs",
         connect + entry("00:00.100", "statement: select pg_sleep(60)") +
             entry("00:01.000", "statement: select 1"),
         "Sending simple statement"},
        {"while the replay sleeps until the next item is due",
         connect + entry("01:00.000", "statement: select 1"), "Napping for"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        temp_dir dir;
        write_file(dir.file("in.log"), row.log);
        run_request request;
        request.args = {"-d", "2", "-h", server.socket_dir(), "-p", "5432", dir.file("in.log")};
        request.actions = {{row.signal_after, 0.2, SIGINT}};
        // Far less than the minute the statement or the sleep would take.
        request.timeout_seconds = 30;
        run_result result = run_quillrun(request);
        EXPECT_EQ(result.status, 130) << result.err;
        EXPECT_EQ(result.signal, 0);
        EXPECT_TRUE(result.out.starts_with(
            "\nReplay interrupted by SIGINT: the statistics cover what was replayed until "
            "then\n\nParse statistics\n"))
            << result.out;
        EXPECT_NE(result.out.find("\nReplay statistics\n"), std::string::npos) << result.out;
    }
}

}  // namespace
