#include "database/session_connections.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "database/connect_string.h"
#include "database/timer_slack.h"
#include "quillrun/alloc.h"
#include "quillrun/messages.h"

namespace {

enum step_result { step_quiet, step_busy, step_failed };

struct result_deleter {
    void operator()(PGresult *result) const { PQclear(result); }
};
struct cancel_deleter {
    void operator()(PGcancel *cancel) const { PQfreeCancel(cancel); }
};
using result_ptr = std::unique_ptr<PGresult, result_deleter>;
using cancel_ptr = std::unique_ptr<PGcancel, cancel_deleter>;

constexpr short trouble = POLLERR | POLLHUP | POLLNVAL;

unsigned long id_of(const session_connection *record) {
    return static_cast<unsigned long>(record->session_id);
}

// Notices and warnings of the server are not the replay's business.
void discard_notice(void *, const PGresult *) {}

short wanted_events(connection_state state) {
    switch (state) {
        case conn_connect_write: return POLLOUT;
        case conn_connect_read: return POLLIN;
        // Reading as well while sending: the server may answer before it
        // has taken everything, and libpq must absorb that to go on.
        case conn_flushing: return POLLOUT | POLLIN;
        case conn_waiting: return POLLIN;
        default: return 0;
    }
}

// Fills the poll set with the busy records' sockets in list order.
// Returns their number, or -1 after "Cannot allocate ...".
long gather_busy_sockets(database_state &state) {
    session_list &list = state.connection_list;
    if (state.poll_set_capacity < list.count) {
        size_t capacity = std::max(list.count, 2 * state.poll_set_capacity);
        size_t size = capacity * sizeof(struct pollfd);
        auto *grown = static_cast<struct pollfd *>(qr_realloc(state.poll_set, size));
        if (grown == nullptr) {
            print_alloc_error(size);
            return -1;
        }
        state.poll_set = grown;
        state.poll_set_capacity = capacity;
    }
    long count = 0;
    for (session_connection *record = list.head; record != nullptr; record = record->next) {
        if (!is_busy(record->state)) continue;
        state.poll_set[count++] = {record->socket, wanted_events(record->state), 0};
    }
    return count;
}

// Fills the poll set with the busy sockets' readiness.  Right after a wait
// it already holds that: polling again would only repeat the answer.  False
// after a message.
bool learn_readiness(database_state &state) {
    if (state.poll_set_waited) {
        state.poll_set_waited = false;
        return true;
    }
    long busy = gather_busy_sockets(state);
    if (busy <= 0) return busy == 0;
    if (poll(state.poll_set, static_cast<nfds_t>(busy), 0) < 0) {
        // Interrupted: nothing is ready this time; any other failure ends the replay.
        if (errno != EINTR) {
            perror("Error in poll()");
            return false;
        }
        for (long i = 0; i < busy; ++i) state.poll_set[i].revents = 0;
    }
    return true;
}

// The records are about to change, so what the last wait found no longer
// lines up with them.
void forget_readiness(database_state &state) { state.poll_set_waited = false; }

void count_open(uint64_t *open, uint64_t *maximum) {
    ++*open;
    if (*open > *maximum) *maximum = *open;
}

void finish_connection(session_connection *record) {
    PQfinish(record->connection);
    record->connection = nullptr;
}

// The socket may change while the connection is being established.
step_result refresh_socket(session_connection *record) {
    record->socket = PQsocket(record->connection);
    if (record->socket >= 0) return step_busy;
    print_error("Error: cannot get socket for database connection\n");
    finish_connection(record);
    return step_failed;
}

step_result connection_established(database_state &state, session_connection *record) {
    print_debug(2, "Connection for session 0x%lx established\n", id_of(record));
    // Without non-blocking mode PQflush never reports unsent data: the send
    // calls would block until everything is out.
    if (PQsetnonblocking(record->connection, 1) != 0) {
        print_error("Connection for session 0x%lx failed: %s\n", id_of(record),
                    PQerrorMessage(record->connection));
        return step_failed;
    }
    record->socket = PQsocket(record->connection);
    record->state = conn_idle;
    report_note_server(record->connection);
    bool clock_ok = read_clock(&record->connected_at);
    if (!clock_ok) perror("Error calling gettimeofday");
    ++state.stat_connections;
    count_open(&state.stat_open_connections, &state.stat_max_connections);
    return clock_ok ? step_quiet : step_failed;
}

step_result connection_failed(session_connection *record) {
    const char *message = PQerrorMessage(record->connection);
    // Since PostgreSQL 14 libpq puts its own text ("connection to server on
    // socket ... failed: ") before the server's, so look for the marker
    // anywhere in the message.
    const char *marker = strstr(message, "FATAL:  ");
    if (marker == nullptr) {
        print_error("Connection for session 0x%lx failed: %s\n", id_of(record), message);
        finish_connection(record);
        return step_failed;
    }
    const char *server_text = marker + strlen("FATAL:  ");
    record->fatal_message = qr_strdup(server_text);
    if (record->fatal_message == nullptr) {
        print_alloc_error(strlen(server_text) + 1);
        finish_connection(record);
        return step_failed;
    }
    print_debug(2, "Connection for session 0x%lx failed with FATAL error: %s\n", id_of(record),
                record->fatal_message);
    record->state = conn_closed;
    finish_connection(record);
    return step_quiet;
}

step_result step_connecting(database_state &state, session_connection *record, short revents) {
    if ((revents & (wanted_events(record->state) | trouble)) == 0) {
        print_debug(2, "Socket for session 0x%lx busy for %s during connect\n", id_of(record),
                    record->state == conn_connect_write ? "write" : "read");
        return step_busy;
    }
    switch (PQconnectPoll(record->connection)) {
        case PGRES_POLLING_WRITING:
            record->state = conn_connect_write;
            return refresh_socket(record);
        case PGRES_POLLING_READING:
            record->state = conn_connect_read;
            return refresh_socket(record);
        case PGRES_POLLING_OK:
            return connection_established(state, record);
        default:
            return connection_failed(record);
    }
}

step_result step_flushing(session_connection *record, short revents) {
    if ((revents & (POLLOUT | POLLIN | trouble)) == 0) {
        print_debug(2, "Session 0x%lx busy writing data\n", id_of(record));
        return step_busy;
    }
    print_debug(2, "Session 0x%lx flushing data\n", id_of(record));
    if ((revents & POLLIN) != 0 && PQconsumeInput(record->connection) == 0) {
        print_error("Error reading from database: %s\n", PQerrorMessage(record->connection));
        return step_failed;
    }
    switch (PQflush(record->connection)) {
        case 0:
            record->state = conn_waiting;
            return step_busy;
        case 1:
            return step_busy;
        default:
            print_error("Error flushing to database: %s\n", PQerrorMessage(record->connection));
            return step_failed;
    }
}

const char *status_name(ExecStatusType status) {
    switch (status) {
        case PGRES_EMPTY_QUERY: return "PGRES_EMPTY_QUERY";
        case PGRES_COMMAND_OK: return "PGRES_COMMAND_OK";
        case PGRES_TUPLES_OK: return "PGRES_TUPLES_OK";
        case PGRES_NONFATAL_ERROR: return "PGRES_NONFATAL_ERROR";
        case PGRES_FATAL_ERROR: return "PGRES_FATAL_ERROR";
        default: return "unexpected status";
    }
}

bool is_success(ExecStatusType status) {
    return status == PGRES_EMPTY_QUERY || status == PGRES_COMMAND_OK ||
           status == PGRES_TUPLES_OK || status == PGRES_NONFATAL_ERROR;
}

bool is_copy(ExecStatusType status) {
    return status == PGRES_COPY_IN || status == PGRES_COPY_OUT || status == PGRES_COPY_BOTH;
}

step_result complete_request(database_state &state, session_connection *record) {
    --state.stat_open_statements;
    record->state = conn_idle;
    time_value now;
    if (!read_clock(&now)) {
        perror("Error calling gettimeofday");
        return step_failed;
    }
    time_value duration = now - record->statement_started_at;
    ++state.stat_histogram[histogram_bucket(duration)];
    if (later_than(duration, state.stat_max_statement_time))
        state.stat_max_statement_time = duration;
    state.stat_statement_time = state.stat_statement_time + duration;
    report_request_done(record->report, in_microseconds(duration));
    return step_quiet;
}

// Takes the results that have arrived complete.  A text of several
// statements yields several results that need not arrive together, and
// PQgetResult would block for one that is still on its way.
step_result collect_results(database_state &state, session_connection *record) {
    PGconn *connection = record->connection;
    while (PQisBusy(connection) == 0) {
        result_ptr result(PQgetResult(connection));
        if (result == nullptr) return complete_request(state, record);
        ++state.stat_results;
        ExecStatusType status = PQresultStatus(result.get());
        print_debug(2, "Session 0x%lx got query response (%s)\n", id_of(record),
                    status_name(status));
        if (status == PGRES_FATAL_ERROR)
            print_debug(1, "Error message session 0x%lx: %s\n", id_of(record),
                        PQresultErrorMessage(result.get()));
        if (!is_success(status)) ++state.stat_errors;
        if (!is_success(status)) report_request_error(record->report, result.get());
        // libpq would hand out the COPY result forever while it waits for
        // copy data that a replay does not have.
        if (is_copy(status)) {
            print_error("Error: session 0x%lx started a COPY, which cannot be replayed\n",
                        id_of(record));
            return step_failed;
        }
    }
    return step_busy;
}

step_result step_waiting(database_state &state, session_connection *record, short revents) {
    PGconn *connection = record->connection;
    if ((revents & (POLLIN | trouble)) == 0) {
        // Input absorbed while sending may already hold the whole answer.
        if (PQisBusy(connection) == 0) return collect_results(state, record);
        print_debug(2, "Session 0x%lx waiting for data\n", id_of(record));
        return step_busy;
    }
    if (PQconsumeInput(connection) == 0) {
        print_error("Error reading from database: %s\n", PQerrorMessage(connection));
        return step_failed;
    }
    if (PQisBusy(connection) != 0) return step_busy;
    return collect_results(state, record);
}

step_result step_record(database_state &state, session_connection *record, short revents) {
    switch (record->state) {
        case conn_connect_write:
        case conn_connect_read: return step_connecting(state, record, revents);
        case conn_flushing: return step_flushing(record, revents);
        case conn_waiting: return step_waiting(state, record, revents);
        default: return step_quiet;
    }
}

void release_record(session_connection *record) {
    free(record->fatal_message);
    free(record);
}

}  // namespace

poll_report poll_connections(database_state &state, uint64_t session_id) {
    poll_report report;
    report.record = session_list_find(state.connection_list, session_id);
    if (!learn_readiness(state)) {
        report.failed = true;
        return report;
    }
    long index = 0;
    for (session_connection *record = state.connection_list.head; record != nullptr;
         record = record->next) {
        if (!is_busy(record->state)) continue;
        step_result result = step_record(state, record, state.poll_set[index++].revents);
        if (result == step_failed) {
            report.failed = true;
            return report;
        }
        if (result == step_busy) report.quiet = false;
    }
    return report;
}

bool wait_for_progress(database_state &state, int64_t timeout_microseconds) {
    long busy = gather_busy_sockets(state);
    if (busy < 0) return false;
    if (busy == 0) return true;
    int64_t milliseconds = std::max<int64_t>(0, (timeout_microseconds + 999) / 1000);
    allow_late_wakeups();
    if (poll(state.poll_set, static_cast<nfds_t>(busy), static_cast<int>(milliseconds)) < 0) {
        if (errno == EINTR) return true;
        perror("Error in poll()");
        return false;
    }
    state.poll_set_waited = true;
    return true;
}

bool open_connection(database_state &state, const replay_item *item) {
    forget_readiness(state);
    uint64_t session_id = replay_get_session_id(item);
    print_debug(2, "Starting database connection for session 0x%lx\n",
                static_cast<unsigned long>(session_id));
    std::unique_ptr<char, decltype(&free)> conninfo(
        build_session_conninfo(state.connect_string != nullptr ? state.connect_string : "",
                               replay_get_user(item), replay_get_database(item)),
        free);
    if (conninfo == nullptr) return false;
    auto *record = static_cast<session_connection *>(qr_malloc(sizeof(session_connection)));
    if (record == nullptr) {
        print_alloc_error(sizeof(session_connection));
        return false;
    }
    if (!session_list_reserve(state.connection_list)) {
        free(record);
        return false;
    }
    errno = 0;
    PGconn *connection = PQconnectStart(conninfo.get());
    int start_errno = errno;
    if (connection == nullptr) {
        print_error("Cannot allocate memory for database connection\n");
        free(record);
        return false;
    }
    if (PQstatus(connection) == CONNECTION_BAD) {
        print_error("Error: connection to database failed: %s\n", PQerrorMessage(connection));
        if (start_errno != 0) print_error("Error detail: %s\n", strerror(start_errno));
        PQfinish(connection);
        free(record);
        return false;
    }
    int socket = PQsocket(connection);
    if (socket == -1) {
        print_error("Error: cannot get socket for database connection\n");
        PQfinish(connection);
        free(record);
        return false;
    }
    *record = session_connection{};
    record->session_id = session_id;
    record->connection = connection;
    record->socket = socket;
    record->state = conn_connect_write;
    session_list_add(state.connection_list, record);
    PQsetNoticeReceiver(connection, discard_notice, nullptr);
    return true;
}

bool close_connection(database_state &state, session_connection *record) {
    forget_readiness(state);
    if (record->state == conn_closed) {
        print_debug(2, "Removing closed session 0x%lx\n", id_of(record));
        session_list_remove(state.connection_list, record);
        release_record(record);
        return true;
    }
    print_debug(2, "Disconnecting database connection for session 0x%lx\n", id_of(record));
    finish_connection(record);
    bool ok = true;
    time_value now;
    if (read_clock(&now)) {
        state.stat_connection_time = state.stat_connection_time + (now - record->connected_at);
    } else {
        perror("Error calling gettimeofday");
        ok = false;
    }
    --state.stat_open_connections;
    session_list_remove(state.connection_list, record);
    release_record(record);
    return ok;
}

bool send_request(database_state &state, session_connection *record, const replay_item *item) {
    forget_readiness(state);
    PGconn *connection = record->connection;
    const char *what = nullptr;  // names the request when sending fails
    switch (replay_get_type(item)) {
        case pg_execute:
            print_debug(2, "Sending simple statement on session 0x%lx\n", id_of(record));
            if (PQsendQuery(connection, replay_get_statement(item)) == 0) what = "simple statement";
            break;
        case pg_prepare:
            print_debug(2, "Sending prepare request on session 0x%lx\n", id_of(record));
            ++state.stat_prepares;
            if (PQsendPrepare(connection, replay_get_name(item), replay_get_statement(item), 0,
                              nullptr) == 0)
                what = "prepare request";
            break;
        case pg_exec_prepared:
            print_debug(2, "Sending prepared statement execution on session 0x%lx\n",
                        id_of(record));
            if (PQsendQueryPrepared(connection, replay_get_name(item), replay_get_valuecount(item),
                                    replay_get_values(item), nullptr, nullptr, 0) == 0)
                what = "prepared statement execution";
            break;
        default:
            return false;
    }
    if (what != nullptr) {
        print_error("Error sending %s: %s\n", what, PQerrorMessage(connection));
        return false;
    }
    record->report = report_request_sent(item);
    record->state = conn_flushing;
    bool ok = true;
    switch (PQflush(connection)) {
        case 0:
            record->state = conn_waiting;
            break;
        case 1:
            print_debug(2, "Session 0x%lx needs to flush again\n", id_of(record));
            break;
        default:
            print_error("Error flushing to database: %s\n", PQerrorMessage(connection));
            ok = false;
            break;
    }
    if (!read_clock(&record->statement_started_at)) {
        perror("Error calling gettimeofday");
        ok = false;
    }
    count_open(&state.stat_open_statements, &state.stat_max_statements);
    return ok;
}

bool send_cancel(session_connection *record) {
    print_debug(2, "Sending cancel request on session 0x%lx\n", id_of(record));
    cancel_ptr cancel(PQgetCancel(record->connection));
    if (cancel == nullptr) {
        print_error("Error creating cancel request\n");
        return false;
    }
    char error[256];
    if (PQcancel(cancel.get(), error, sizeof error) == 0) {
        print_error("Error sending cancel request: %s\n", error);
        return false;
    }
    return true;
}

int histogram_bucket(time_value duration) {
    if (duration.seconds >= 2) return 4;
    if (duration.seconds == 1) return 3;
    if (duration.seconds < 0 || duration.microseconds <= 20000) return 0;
    if (duration.microseconds <= 100000) return 1;
    if (duration.microseconds <= 500000) return 2;
    return 3;
}
