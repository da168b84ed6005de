#include <sys/resource.h>

#include <libpq-fe.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "database/connect_string.h"
#include "database/database_state.h"
#include "quillrun/database.h"
#include "quillrun/messages.h"
#include "quillrun/report.h"
#include "quillrun/settings.h"

namespace {

// Every replayed session holds a socket, so a large replay needs more
// descriptors than the usual soft limit of 1024.  Failing to raise it is
// not an error: small replays do not need it, and a large one reports the
// connection that could not get a socket.
void raise_open_file_limit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

// How long a connection may take to be established when the options do
// not say.  Setting one up takes milliseconds; a target that has not
// answered after this long is not going to.
constexpr long default_connect_timeout_seconds = 10;

// libpq enforces connect_timeout only for connections it waits for
// itself, not for those driven by PQconnectPoll, so the replay enforces it:
// as the connection options give it (-X), else as PGCONNECT_TIMEOUT does,
// else the default; like libpq, 0 or less waits for ever and 1 means 2.
int64_t connect_timeout_microseconds(const char *connect_string) {
    std::string given;
    if (PQconninfoOption *options = PQconninfoParse(connect_string, nullptr)) {
        for (PQconninfoOption *option = options; option->keyword != nullptr; ++option)
            if (strcmp(option->keyword, "connect_timeout") == 0 && option->val != nullptr)
                given = option->val;
        PQconninfoFree(options);
    }
    if (given.empty() && getenv("PGCONNECT_TIMEOUT") != nullptr) given = getenv("PGCONNECT_TIMEOUT");
    char *end = nullptr;
    long seconds = strtol(given.c_str(), &end, 10);
    if (given.empty() || *end != '\0') seconds = default_connect_timeout_seconds;
    if (seconds <= 0) return 0;
    return int64_t{std::max(seconds, 2L)} * 1000000;
}

}  // namespace

int database_consumer_init(const char *, const char *host, int port, const char *password,
                           double factor) {
    trace_enter("database_consumer_init");
    database_state &state = replay_state();
    if (!read_clock(&state.start_time)) {
        perror("Error calling gettimeofday");
        return 0;
    }
    state.speed_factor = factor;
    raise_open_file_limit();
    state.connect_string = build_connect_string(host, port, password, extra_connstr);
    if (state.connect_string == nullptr) return 0;
    state.connect_timeout_microseconds = connect_timeout_microseconds(state.connect_string);
    if (debug_level >= 2) {
        char *shown = build_shown_connect_string(host, port, password, extra_connstr);
        if (shown == nullptr) return 0;
        print_error("Database connect string: \"%s\"\n", shown);
        free(shown);
    }
    if (!report_start()) return 0;
    trace_leave("database_consumer_init");
    return 1;
}
