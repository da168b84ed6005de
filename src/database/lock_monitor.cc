#include "database/lock_monitor.h"

#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "quillrun/alloc.h"
#include "quillrun/messages.h"

namespace {

// How long the monitor may take to connect, and to answer one question.
// A target that needs longer is too slow to tell lock waits from slow
// statements in time; the scheduler's time limit then does the job.
constexpr int64_t connect_deadline_microseconds = 5000000;
constexpr int64_t answer_deadline_microseconds = 2000000;

// So that the target's administrators can tell it from the replay's sessions.
constexpr char application_name[] = " application_name='quillrun lock monitor'";

constexpr char question[] = "SELECT pg_blocking_pids($1)";

struct result_deleter {
    void operator()(PGresult *result) const { PQclear(result); }
};
using result_ptr = std::unique_ptr<PGresult, result_deleter>;

time_value after(time_value now, int64_t microseconds) {
    return now + time_value{microseconds / 1000000, microseconds % 1000000};
}

// The first line of a libpq message, which is all a warning needs.
std::string first_line(const char *message) {
    std::string text = message != nullptr ? message : "";
    size_t end = text.find('\n');
    if (end != std::string::npos) text.erase(end);
    return text;
}

// How often a connection that the server ended is opened anew before the
// monitor gives up.
constexpr int max_reopenings = 3;

void give_up(lock_monitor &monitor, const std::string &reason) {
    if (monitor.connection != nullptr && PQstatus(monitor.connection) == CONNECTION_BAD &&
        (monitor.state == monitor_state::idle || monitor.state == monitor_state::asking) &&
        monitor.reopened < max_reopenings) {
        // It worked until the server ended it: the next question opens it again.
        print_debug(2, "The lock monitor's connection ended (%s)\n", reason.c_str());
        PQfinish(monitor.connection);
        monitor.connection = nullptr;
        monitor.socket = -1;
        monitor.state = monitor_state::unused;
        monitor.answered = false;
        ++monitor.reopened;
        return;
    }
    print_error("Warning: cannot ask the target which sessions wait for locks (%s); a session "
                "that holds up the replay for a second will be set aside\n",
                reason.c_str());
    if (monitor.connection != nullptr) PQfinish(monitor.connection);
    monitor.connection = nullptr;
    monitor.socket = -1;
    monitor.state = monitor_state::unavailable;
    monitor.answered = false;
}

void discard_notice(void *, const PGresult *) {}

void start_connection(lock_monitor &monitor, const char *conninfo, time_value now) {
    std::string text = std::string(conninfo) + application_name;
    monitor.connection = PQconnectStart(text.c_str());
    if (monitor.connection == nullptr) {
        give_up(monitor, "out of memory");
        return;
    }
    if (PQstatus(monitor.connection) == CONNECTION_BAD) {
        give_up(monitor, first_line(PQerrorMessage(monitor.connection)));
        return;
    }
    PQsetNoticeReceiver(monitor.connection, discard_notice, nullptr);
    monitor.socket = PQsocket(monitor.connection);
    monitor.state = monitor_state::connecting_write;
    monitor.deadline = after(now, connect_deadline_microseconds);
    print_debug(2, "Opening the lock monitor's connection%s\n", "");
}

void send_question(lock_monitor &monitor, time_value now) {
    std::string pid = std::to_string(monitor.asked_pid);
    const char *values[1] = {pid.c_str()};
    if (PQsendQueryParams(monitor.connection, question, 1, nullptr, values, nullptr, nullptr, 0) ==
        0) {
        give_up(monitor, first_line(PQerrorMessage(monitor.connection)));
        return;
    }
    int flushed = PQflush(monitor.connection);
    if (flushed < 0) {
        give_up(monitor, first_line(PQerrorMessage(monitor.connection)));
        return;
    }
    monitor.flushing = flushed == 1;
    monitor.understood = false;
    monitor.trouble[0] = '\0';
    monitor.state = monitor_state::asking;
    monitor.deadline = after(now, answer_deadline_microseconds);
}

void step_connecting(lock_monitor &monitor, time_value now) {
    short wanted = monitor.state == monitor_state::connecting_write ? POLLOUT : POLLIN;
    if ((monitor.revents & (wanted | POLLERR | POLLHUP | POLLNVAL)) == 0) return;
    switch (PQconnectPoll(monitor.connection)) {
        case PGRES_POLLING_WRITING:
            monitor.state = monitor_state::connecting_write;
            break;
        case PGRES_POLLING_READING:
            monitor.state = monitor_state::connecting_read;
            break;
        case PGRES_POLLING_OK:
            if (PQsetnonblocking(monitor.connection, 1) != 0) {
                give_up(monitor, first_line(PQerrorMessage(monitor.connection)));
                return;
            }
            print_debug(2, "Lock monitor connected%s\n", "");
            monitor.state = monitor_state::idle;
            if (monitor.asked_pid != 0) send_question(monitor, now);
            return;
        default:
            give_up(monitor, first_line(PQerrorMessage(monitor.connection)));
            return;
    }
    monitor.socket = PQsocket(monitor.connection);
}

// "{}" or "{123,456}": the process ids of pg_blocking_pids' array.  False
// when the text is not such an array or memory runs out.
bool read_blockers(lock_monitor &monitor, const char *text) {
    monitor.blocker_count = 0;
    if (*text++ != '{') return false;
    while (*text != '}') {
        char *end = nullptr;
        long pid = strtol(text, &end, 10);
        if (end == text || pid <= 0 || pid > INT32_MAX) return false;
        if (monitor.blocker_count == monitor.blocker_capacity) {
            size_t capacity = monitor.blocker_capacity == 0 ? 8 : 2 * monitor.blocker_capacity;
            auto *grown = static_cast<int *>(qr_realloc(monitor.blockers, capacity * sizeof(int)));
            if (grown == nullptr) return false;
            monitor.blockers = grown;
            monitor.blocker_capacity = capacity;
        }
        monitor.blockers[monitor.blocker_count++] = static_cast<int>(pid);
        text = end;
        if (*text == ',') ++text;
    }
    return true;
}

void take_results(lock_monitor &monitor) {
    while (PQisBusy(monitor.connection) == 0) {
        result_ptr result(PQgetResult(monitor.connection));
        if (result == nullptr) {
            if (!monitor.understood) {
                give_up(monitor, monitor.trouble[0] != '\0' ? monitor.trouble : "unexpected answer");
                return;
            }
            monitor.state = monitor_state::idle;
            monitor.answered = true;
            return;
        }
        if (PQresultStatus(result.get()) == PGRES_TUPLES_OK && PQntuples(result.get()) == 1 &&
            PQnfields(result.get()) == 1) {
            monitor.understood = read_blockers(monitor, PQgetvalue(result.get(), 0, 0));
        } else {
            snprintf(monitor.trouble, sizeof monitor.trouble, "%s",
                     first_line(PQresultErrorMessage(result.get())).c_str());
        }
    }
}

void step_asking(lock_monitor &monitor) {
    short revents = monitor.revents;
    if ((revents & (POLLERR | POLLHUP | POLLNVAL | POLLIN)) != 0 &&
        PQconsumeInput(monitor.connection) == 0) {
        give_up(monitor, first_line(PQerrorMessage(monitor.connection)));
        return;
    }
    if (monitor.flushing && (revents & POLLOUT) != 0) {
        int flushed = PQflush(monitor.connection);
        if (flushed < 0) {
            give_up(monitor, first_line(PQerrorMessage(monitor.connection)));
            return;
        }
        monitor.flushing = flushed == 1;
    }
    if (!monitor.flushing) take_results(monitor);
}

}  // namespace

short monitor_events(const lock_monitor &monitor) {
    switch (monitor.state) {
        case monitor_state::connecting_write: return POLLOUT;
        case monitor_state::connecting_read: return POLLIN;
        case monitor_state::asking: return monitor.flushing ? POLLOUT | POLLIN : POLLIN;
        default: return 0;
    }
}

void monitor_ask(lock_monitor &monitor, const char *conninfo, int pid, time_value now) {
    switch (monitor.state) {
        case monitor_state::unused:
            monitor.asked_pid = pid;
            monitor.answered = false;
            start_connection(monitor, conninfo, now);
            return;
        case monitor_state::idle:
            monitor.asked_pid = pid;
            monitor.answered = false;
            send_question(monitor, now);
            return;
        default:
            return;
    }
}

void monitor_step(lock_monitor &monitor, time_value now) {
    if (!monitor_busy(monitor)) return;
    if (later_than(now, monitor.deadline)) {
        give_up(monitor, monitor.state == monitor_state::asking ? "no answer in time"
                                                                : "no connection in time");
        return;
    }
    if (monitor.revents == 0) return;
    if (monitor.state == monitor_state::asking)
        step_asking(monitor);
    else
        step_connecting(monitor, now);
    monitor.revents = 0;
}

bool monitor_take_answer(lock_monitor &monitor, int *pid, const int **blockers, size_t *count) {
    if (!monitor.answered) return false;
    monitor.answered = false;
    *pid = monitor.asked_pid;
    *blockers = monitor.blockers;
    *count = monitor.blocker_count;
    return true;
}

void monitor_release(lock_monitor &monitor) {
    if (monitor.connection != nullptr) PQfinish(monitor.connection);
    free(monitor.blockers);
    monitor = lock_monitor{};
}
