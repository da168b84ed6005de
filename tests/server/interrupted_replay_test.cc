// A replay never waits for ever on something that cannot happen: each of
// these ends in bounded time with its message and exit status, run as a
// user runs quillrun, against real servers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "support/pg_server.h"
#include "support/run_binary.h"

namespace {

std::string entry(const std::string &time, const std::string &message,
                  const std::string &session = "1.a") {
    return "2026-01-01 10:" + time + " UTC|postgres|postgres|" + session + "|LOG:  " + message +
           "\n";
}

std::string connect_entry(const std::string &time, const std::string &session = "1.a") {
    return entry(time, "connection authorized: user=postgres database=postgres", session);
}

// A TCP port on the loopback that accepts connections (the kernel completes
// them) and never says a word.
class silent_listener {
public:
    silent_listener() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr *>(&address), length) != 0 || listen(fd_, 16) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            throw std::runtime_error("cannot listen on the loopback");
        port_ = ntohs(address.sin_port);
    }
    ~silent_listener() { close(fd_); }
    silent_listener(const silent_listener &) = delete;
    silent_listener &operator=(const silent_listener &) = delete;
    std::string port() const { return std::to_string(port_); }

private:
    int fd_;
    int port_;
};

TEST(ReplayEnds, InBoundedTimeWithItsMessageAndStatus) {
    pg_server server;
    silent_listener silent;
    const std::string long_statement =
        connect_entry("00:00.000") + entry("00:00.100", "statement: select pg_sleep(60)") +
        entry("00:01.000", "statement: select 1");
    const std::string one_statement =
        connect_entry("00:00.000") + entry("00:00.100", "statement: select 1");
    struct row {
        const char *what;
        std::string log;
        std::vector<std::string> target;  // connection options
        std::vector<std::pair<std::string, std::string>> env;
        std::string signal_after;  // debug output at which SIGINT is sent; empty: none
        int status;
        std::vector<std::string> err_parts;
        std::string out_start;
    } rows[] = {
        {"SIGINT while a statement runs",
         long_statement,
         {"-h", server.socket_dir(), "-p", "5432"},
         {},
         "Sending simple statement",
         130,
         {"Sending cancel request on session 0x10000000a"},
         "\nReplay interrupted by SIGINT: the statistics cover what was replayed until then\n"
         "\nParse statistics\n"},
        {"SIGINT while the replay sleeps until the next item is due",
         connect_entry("00:00.000") + entry("01:00.000", "statement: select 1"),
         {"-h", server.socket_dir(), "-p", "5432"},
         {},
         "Napping for",
         130,
         {},
         "\nReplay interrupted by SIGINT: the statistics cover what was replayed until then\n"
         "\nParse statistics\n"},
        {"a listener that never answers, with connect_timeout",
         one_statement,
         {"-h", "127.0.0.1", "-p", silent.port(), "-X", "connect_timeout=2"},
         {},
         "",
         1,
         {"Connection for session 0x10000000a failed: no connection to the server within 2 seconds\n"},
         ""},
        {"a listener that never answers, with PGCONNECT_TIMEOUT",
         one_statement,
         {"-h", "127.0.0.1", "-p", silent.port()},
         {{"PGCONNECT_TIMEOUT", "3"}},
         "",
         1,
         {"Connection for session 0x10000000a failed: no connection to the server within 3 seconds\n"},
         ""},
        {"a session terminated by another",
         connect_entry("00:00.000") + entry("00:00.010", "statement: select 'victim'") +
             connect_entry("00:00.000", "1.b") +
             entry("00:00.100",
                   "statement: select pg_terminate_backend(pid) from pg_stat_activity "
                   "where query = 'select ''victim''' and pid <> pg_backend_pid()",
                   "1.b") +
             entry("00:00.300", "statement: select 'too late'") +
             entry("00:00.300", "statement: select 'and again'"),
         {"-h", server.socket_dir(), "-p", "5432"},
         {},
         "",
         0,
         {"Warning: session 0x10000000a lost its connection, its later items are skipped: FATAL:  "
          "terminating connection due to administrator command\n",
          "Warning: 1 session was ended by the server during the replay; 1 of their items were "
          "skipped\n"},
         "\nParse statistics\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        temp_dir dir;
        write_file(dir.file("in.log"), row.log);
        run_request request;
        request.args = {"-d", "2", "-R", dir.file("report.json")};
        request.args.insert(request.args.end(), row.target.begin(), row.target.end());
        request.args.push_back(dir.file("in.log"));
        request.env = row.env;
        if (!row.signal_after.empty()) request.actions = {{row.signal_after, 0.2, SIGINT}};
        // Far less than the minute the statement or the sleep would take.
        request.timeout_seconds = 20;
        auto started = std::chrono::steady_clock::now();
        run_result result = run_quillrun(request);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(result.status, row.status) << result.err;
        EXPECT_EQ(result.signal, 0);
        EXPECT_LT(took.count(), 15);
        for (const auto &part : row.err_parts)
            EXPECT_NE(result.err.find(part), std::string::npos) << part << "\n" << result.err;
        EXPECT_TRUE(result.out.starts_with(row.out_start)) << result.out;
        if (row.status == 130) {
            EXPECT_NE(result.out.find("\nReplay statistics\n"), std::string::npos) << result.out;
            // The report says the replay did not reach the end of its input.
            EXPECT_NE(read_file(dir.file("report.json")).find("\"outcome\": \"interrupted\""),
                      std::string::npos);
        }
        // Nothing of the replay goes on running on the target.
        if (row.target[1] == server.socket_dir()) {
            std::string active;
            for (int i = 0; i < 50; ++i) {
                active = server.psql("select count(*) from pg_stat_activity "
                                     "where backend_type = 'client backend' "
                                     "and pid <> pg_backend_pid()");
                if (active == "0") break;
                usleep(100000);
            }
            EXPECT_EQ(active, "0");
        }
    }
}

}  // namespace
