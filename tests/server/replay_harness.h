// Running replays in-process against a real server: items built with the
// replay item constructors go through the real pipeline driver into the
// database consumer, with standard output and error captured.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "quillrun/replay_item.h"
#include "support/pg_server.h"

// A recorded workload; t is seconds from the first item.
class script {
public:
    script() = default;
    ~script();
    script(const script &) = delete;
    script &operator=(const script &) = delete;

    script &connect(double t, uint64_t session, const std::string &user = "postgres",
                    const std::string &database = "postgres");
    script &disconnect(double t, uint64_t session);
    script &execute(double t, uint64_t session, const std::string &statement);
    script &prepare(double t, uint64_t session, const std::string &name,
                    const std::string &statement);
    script &exec_prepared(double t, uint64_t session, const std::string &name,
                          const std::vector<const char *> &values);
    script &cancel(double t, uint64_t session);

    // Hands the items over; the script keeps none.
    std::vector<replay_item *> release();

private:
    std::vector<replay_item *> items_;
};

// A lock wait that the recording did not have.  The log shows when a
// statement arrived, not when it got its locks: session 0x82's update was
// logged first but, in the recording, waited for 0x81, whose commit is
// logged after 0x82's next statement.  Replayed in log order, 0x82 holds
// the row of table contended (id 1) and 0x81 waits for it.  A faithful
// replay ends with "1:30 2:2" in the table.
script &lock_inversion(script &s, const std::string &user = "postgres");

struct replay_options {
    int debug = 0;
    double factor = 1.0;
    bool skip_idle = false;
    const char *password = nullptr;
    const char *extra = nullptr;
    const char *report = nullptr;  // -R
    // Called before the provider hands out item number index (from 0).
    std::function<void(size_t index)> before_item;
};

inline replay_options at_debug(int level) {
    replay_options options;
    options.debug = level;
    return options;
}

struct replay_run {
    int status = -1;
    std::string out;
    std::string err;
    double seconds = 0;          // wall-clock time of the whole pipeline
    unsigned long consumer_calls = 0;
};

// Replays against srv.  The replay state (statistics, open connections) is
// left for the caller to inspect; reset_replay_state() clears it.
replay_run replay(const pg_server &srv, script &items, const replay_options &options = {});

// True when text matches pattern, in which every "#" stands for a number
// (digits, optionally with a fraction) and everything else is literal.
bool matches_report(const std::string &pattern, const std::string &text);
