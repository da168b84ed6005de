#include <sys/resource.h>

#include <cstdio>

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
    print_debug(2, "Database connect string: \"%s\"\n", state.connect_string);
    if (!report_start()) return 0;
    trace_leave("database_consumer_init");
    return 1;
}
