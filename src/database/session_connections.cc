#include "database/session_connections.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

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

// Fills the poll set with the busy records' sockets, and the lock
// monitor's while it is busy.  Returns their number, or -1 after "Cannot
// allocate ...".
long gather_busy_sockets(database_state &state) {
    session_list &list = state.connection_list;
    size_t needed = list.count + 1;
    if (state.poll_set_capacity < needed) {
        size_t capacity = std::max(needed, 2 * state.poll_set_capacity);
        size_t size = capacity * sizeof(struct pollfd);
        auto *grown = static_cast<struct pollfd *>(qr_realloc(state.poll_set, size));
        if (grown == nullptr) {
            print_alloc_error(size);
            return -1;
        }
        state.poll_set = grown;
        size_t records_size = capacity * sizeof(session_connection *);
        auto *records =
            static_cast<session_connection **>(qr_realloc(state.poll_records, records_size));
        if (records == nullptr) {
            print_alloc_error(records_size);
            return -1;
        }
        state.poll_records = records;
        state.poll_set_capacity = capacity;
    }
    long count = 0;
    for (session_connection *record = list.head; record != nullptr; record = record->next) {
        if (!is_busy(record->state)) continue;
        state.poll_records[count] = record;
        state.poll_set[count++] = {record->socket, wanted_events(record->state), 0};
    }
    if (monitor_busy(state.monitor)) {
        state.poll_records[count] = nullptr;
        state.poll_set[count++] = {state.monitor.socket, monitor_events(state.monitor), 0};
    }
    return count;
}

// Hands what a poll found to the records (and the monitor) it was for.
void distribute_readiness(database_state &state, long count) {
    for (long i = 0; i < count; ++i) {
        session_connection *record = state.poll_records[i];
        if (record != nullptr)
            record->revents = state.poll_set[i].revents;
        else
            state.monitor.revents = state.poll_set[i].revents;
    }
}

// Gives every busy record (and the monitor) what its socket is ready for.
// Right after a wait they already hold that: polling again would only
// repeat the answer.  A record that became busy after the wait holds
// nothing and counts as not ready until the next pass.  False after a
// message.
bool learn_readiness(database_state &state) {
    if (state.readiness_from_wait) {
        state.readiness_from_wait = false;
        return true;
    }
    long busy = gather_busy_sockets(state);
    if (busy <= 0) return busy == 0;
    if (poll(state.poll_set, static_cast<nfds_t>(busy), 0) < 0) {
        // Interrupted: nothing is ready this time; any other failure ends the replay.
        if (errno != EINTR) {
            print_system_error("Error in poll()");
            return false;
        }
        for (long i = 0; i < busy; ++i) state.poll_set[i].revents = 0;
    }
    distribute_readiness(state, busy);
    return true;
}

void finish_connection(session_connection *record) {
    PQfinish(record->connection);
    record->connection = nullptr;
    record->socket = -1;
}

// Notifications of a LISTENing session are not the replay's business; they
// are freed as they arrive, or they would pile up.
void discard_notifications(PGconn *connection) {
    while (PGnotify *notification = PQnotifies(connection)) PQfreemem(notification);
}

// libpq's message without its trailing newline.
std::string message_of(PGconn *connection) {
    std::string message = PQerrorMessage(connection);
    while (!message.empty() && message.back() == '\n') message.pop_back();
    return message;
}

// The server has ended the session (terminated it, timed it out, shut
// down): the replay goes on without it, skipping its later items.  Its
// connection counts as closed now.
void lose_session(database_state &state, session_connection *record, const std::string &why) {
    print_error("Warning: session 0x%lx lost its connection, its later items are skipped: %s\n",
                id_of(record), why.c_str());
    replay_counters &counters = state.counters;
    if (record->counted) {
        time_value now;
        if (read_clock(&now))
            counters.stat_connection_time =
                counters.stat_connection_time + (now - record->connected_at);
        --counters.stat_open_connections;
        record->counted = false;
    }
    ++counters.lost_sessions;
    finish_connection(record);
    record->state = conn_lost;
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
    record->backend_pid = PQbackendPID(record->connection);
    record->state = conn_idle;
    report_note_server(record->connection);
    // A connection opened ahead of time counts once its session's connect
    // item is reached, as if it had been opened then.
    if (record->opened_early) return step_quiet;
    return count_connection(state, record) ? step_quiet : step_failed;
}

time_value after_microseconds(time_value t, int64_t microseconds) {
    return t + time_value{microseconds / 1000000, microseconds % 1000000};
}

// How long the target gets to free the slots of released connections, and
// how long no connection is opened ahead of time after it ran out of them.
constexpr int64_t retry_delay_microseconds = 20000;
constexpr int64_t early_pause_microseconds = 1000000;

// Closes the connections opened ahead of time; they connect again when
// their connect items come due.  True when there were any.
bool release_early_connections(database_state &state) {
    bool released = false;
    for (session_connection *record = state.connection_list.head; record != nullptr;
         record = record->next) {
        if (!record->opened_early || record->connection == nullptr) continue;
        finish_connection(record);
        record->state = conn_closed;
        record->refused_early = true;
        released = true;
    }
    return released;
}

// A connection refused on time while connections opened ahead of time held
// the target's slots may owe its refusal to them: they make room, and it
// connects again a moment later, once.  True when that is what happens.
bool make_room_and_retry(database_state &state, session_connection *record, time_value now) {
    if (record->opened_early || record->retried || !release_early_connections(state))
        return false;
    print_debug(2, "Connection for session 0x%lx refused while connections opened ahead of "
                   "time were open; trying again\n",
                id_of(record));
    finish_connection(record);
    record->state = conn_retry;
    record->retried = true;
    record->retry_at = after_microseconds(now, retry_delay_microseconds);
    state.no_early_connections_until = after_microseconds(now, early_pause_microseconds);
    return true;
}

step_result connection_failed(database_state &state, session_connection *record,
                              time_value now) {
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
    if (make_room_and_retry(state, record, now)) return step_busy;
    if (record->opened_early)
        state.no_early_connections_until = after_microseconds(now, early_pause_microseconds);
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
    record->refused_early = record->opened_early;
    finish_connection(record);
    return step_quiet;
}

bool past_deadline(const session_connection *record, time_value now) {
    const time_value &deadline = record->connect_deadline;
    return (deadline.seconds != 0 || deadline.microseconds != 0) && later_than(now, deadline);
}

step_result step_connecting(database_state &state, session_connection *record, short revents,
                            time_value now) {
    if (past_deadline(record, now)) {
        print_error("Connection for session 0x%lx failed: no connection to the server within "
                    "%ld seconds\n",
                    id_of(record),
                    static_cast<long>(state.connect_timeout_microseconds / 1000000));
        finish_connection(record);
        return step_failed;
    }
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
            return connection_failed(state, record, now);
    }
}

// Connects a conn_retry record again once its moment has come.
step_result step_retry(database_state &state, session_connection *record, time_value now) {
    if (later_than(record->retry_at, now)) return step_busy;
    print_debug(2, "Starting database connection for session 0x%lx again\n", id_of(record));
    record->connection = PQconnectStart(record->conninfo);
    if (record->connection == nullptr) {
        print_error("Cannot allocate memory for database connection\n");
        return step_failed;
    }
    if (PQstatus(record->connection) == CONNECTION_BAD) {
        print_error("Error: connection to database failed: %s\n",
                    PQerrorMessage(record->connection));
        finish_connection(record);
        return step_failed;
    }
    PQsetNoticeReceiver(record->connection, discard_notice, nullptr);
    record->state = conn_connect_write;
    if (state.connect_timeout_microseconds > 0)
        record->connect_deadline = after_microseconds(now, state.connect_timeout_microseconds);
    return refresh_socket(record);
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
    --state.counters.stat_open_statements;
    record->state = conn_idle;
    // One failed statement is one error, however many of its results were
    // errors; a failed prepare shows through the execution that follows.
    if (record->request_failed && record->request_type != pg_prepare) ++state.counters.stat_errors;
    time_value now;
    if (!read_clock(&now)) {
        print_system_error("Error calling gettimeofday");
        return step_failed;
    }
    time_value duration = now - record->statement_started_at;
    replay_counters &counters = state.counters;
    ++counters.stat_histogram[histogram_bucket(duration)];
    if (later_than(duration, counters.stat_max_statement_time))
        counters.stat_max_statement_time = duration;
    counters.stat_statement_time = counters.stat_statement_time + duration;
    report_request_done(record->report, in_microseconds(duration));
    return step_quiet;
}

// Counts one result of the request in flight.  False for a COPY, which
// the replay cannot feed.
bool take_result(database_state &state, session_connection *record, const PGresult *result) {
    ExecStatusType status = PQresultStatus(result);
    // After an error the server runs nothing more of the request, so a
    // second error result is libpq's own account of a broken connection.
    if (!is_success(status) && record->request_failed) return true;
    ++state.counters.stat_results;
    print_debug(2, "Session 0x%lx got query response (%s)\n", id_of(record), status_name(status));
    if (status == PGRES_FATAL_ERROR)
        print_debug(1, "Error message session 0x%lx: %s\n", id_of(record),
                    PQresultErrorMessage(result));
    if (!is_success(status)) {
        report_request_error(record->report, result);
        record->request_failed = true;
    }
    // libpq would hand out the COPY result forever while it waits for
    // copy data that a replay does not have.
    if (is_copy(status)) {
        print_error("Error: session 0x%lx started a COPY, which cannot be replayed\n",
                    id_of(record));
        return false;
    }
    return true;
}

// Rows come one at a time (single-row mode), so that no result is ever
// held whole; they are dropped as they come and count in no statistic.
bool is_row(ExecStatusType status) {
#ifdef LIBPQ_HAS_CHUNK_MODE
    if (status == PGRES_TUPLES_CHUNK) return true;
#endif
    return status == PGRES_SINGLE_TUPLE;
}

// Takes the results that have arrived complete.  A text of several
// statements yields several results that need not arrive together, and
// PQgetResult would block for one that is still on its way.
step_result collect_results(database_state &state, session_connection *record) {
    PGconn *connection = record->connection;
    while (PQisBusy(connection) == 0) {
        result_ptr result(PQgetResult(connection));
        if (result == nullptr) return complete_request(state, record);
        if (is_row(PQresultStatus(result.get()))) continue;
        if (!take_result(state, record, result.get())) return step_failed;
    }
    return step_busy;
}

// The connection broke while a request was in flight.  When the server
// ended the session, the request ends with the error libpq makes of that
// (or the server's own), and the replay goes on without the session;
// anything else is a failure of the replay, reported with `what`.
step_result connection_broke(database_state &state, session_connection *record,
                             const char *what) {
    PGconn *connection = record->connection;
    std::string message = message_of(connection);
    if (PQstatus(connection) != CONNECTION_BAD) {
        print_error("%s: %s\n", what, PQerrorMessage(connection));
        return step_failed;
    }
    // On a broken connection libpq hands out what it has, the server's
    // farewell among it, and then an error result of its own, without
    // waiting.
    while (result_ptr result{PQgetResult(connection)}) {
        if (is_row(PQresultStatus(result.get()))) continue;
        if (!take_result(state, record, result.get())) return step_failed;
    }
    record->request_failed = true;
    step_result completed = complete_request(state, record);
    lose_session(state, record, message);
    return completed == step_failed ? step_failed : step_quiet;
}

step_result step_flushing(database_state &state, session_connection *record, short revents) {
    if ((revents & (POLLOUT | POLLIN | trouble)) == 0) {
        print_debug(2, "Session 0x%lx busy writing data\n", id_of(record));
        return step_busy;
    }
    print_debug(2, "Session 0x%lx flushing data\n", id_of(record));
    PGconn *connection = record->connection;
    if ((revents & POLLIN) != 0) {
        if (PQconsumeInput(connection) == 0)
            return connection_broke(state, record, "Error reading from database");
        discard_notifications(connection);
    }
    switch (PQflush(connection)) {
        case 0:
            record->state = conn_waiting;
            return step_busy;
        case 1:
            return step_busy;
        default:
            return connection_broke(state, record, "Error flushing to database");
    }
}

step_result step_waiting(database_state &state, session_connection *record, short revents) {
    PGconn *connection = record->connection;
    if ((revents & (POLLIN | trouble)) == 0) {
        // Input absorbed while sending may already hold the whole answer.
        if (PQisBusy(connection) == 0) return collect_results(state, record);
        print_debug(2, "Session 0x%lx waiting for data\n", id_of(record));
        return step_busy;
    }
    if (PQconsumeInput(connection) == 0)
        return connection_broke(state, record, "Error reading from database");
    discard_notifications(connection);
    if (PQisBusy(connection) != 0) return step_busy;
    return collect_results(state, record);
}

step_result step_record(database_state &state, session_connection *record, short revents,
                        time_value now) {
    switch (record->state) {
        case conn_connect_write:
        case conn_connect_read: return step_connecting(state, record, revents, now);
        case conn_flushing: return step_flushing(state, record, revents);
        case conn_retry: return step_retry(state, record, now);
        case conn_waiting: return step_waiting(state, record, revents);
        default: return step_quiet;
    }
}

void release_record(session_connection *record) {
    free(record->fatal_message);
    free(record->conninfo);
    free(record);
}

}  // namespace

poll_report poll_connections(database_state &state, uint64_t session_id) {
    poll_report report;
    report.record = session_list_find(state.connection_list, session_id);
    time_value now;
    if (!learn_readiness(state)) {
        report.failed = true;
        return report;
    }
    if (!read_clock(&now)) {
        print_system_error("Error calling gettimeofday");
        report.failed = true;
        return report;
    }
    for (session_connection *record = state.connection_list.head; record != nullptr;
         record = record->next) {
        if (!is_busy(record->state)) continue;
        short revents = record->revents;
        record->revents = 0;
        step_result result = step_record(state, record, revents, now);
        if (result == step_failed) {
            report.failed = true;
            return report;
        }
        if (result == step_busy) report.quiet = false;
    }
    if (monitor_busy(state.monitor)) {
        monitor_step(state.monitor, now);
        if (monitor_busy(state.monitor)) report.quiet = false;
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
        print_system_error("Error in poll()");
        return false;
    }
    distribute_readiness(state, busy);
    state.readiness_from_wait = true;
    return true;
}

bool count_connection(database_state &state, session_connection *record) {
    record->counted = true;
    replay_counters &counters = state.counters;
    ++counters.stat_connections;
    count_open(&counters.stat_open_connections, &counters.stat_max_connections);
    if (read_clock(&record->connected_at)) return true;
    print_system_error("Error calling gettimeofday");
    return false;
}

bool open_connection(database_state &state, const replay_item *item, bool early) {
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
    record->conninfo = conninfo.release();
    record->connection = connection;
    record->socket = socket;
    record->state = conn_connect_write;
    record->opened_early = early;
    if (state.connect_timeout_microseconds > 0) {
        time_value now;
        if (read_clock(&now))
            record->connect_deadline =
                now + time_value{state.connect_timeout_microseconds / 1000000,
                                 state.connect_timeout_microseconds % 1000000};
    }
    session_list_add(state.connection_list, record);
    PQsetNoticeReceiver(connection, discard_notice, nullptr);
    return true;
}

void discard_record(database_state &state, session_connection *record) {
    if (record->connection != nullptr) finish_connection(record);
    session_list_remove(state.connection_list, record);
    release_record(record);
}

bool close_connection(database_state &state, session_connection *record) {
    if (record->state == conn_closed || record->state == conn_lost) {
        print_debug(2, "Removing %s session 0x%lx\n",
                    record->state == conn_closed ? "closed" : "lost", id_of(record));
        session_list_remove(state.connection_list, record);
        release_record(record);
        return true;
    }
    print_debug(2, "Disconnecting database connection for session 0x%lx\n", id_of(record));
    finish_connection(record);
    bool ok = true;
    if (record->counted) {
        replay_counters &counters = state.counters;
        time_value now;
        if (read_clock(&now)) {
            counters.stat_connection_time =
                counters.stat_connection_time + (now - record->connected_at);
        } else {
            print_system_error("Error calling gettimeofday");
            ok = false;
        }
        --counters.stat_open_connections;
    }
    session_list_remove(state.connection_list, record);
    release_record(record);
    return ok;
}

bool send_request(database_state &state, session_connection *record, const replay_item *item) {
    PGconn *connection = record->connection;
    const char *what = nullptr;  // names the request when sending fails
    switch (replay_get_type(item)) {
        case pg_execute:
            print_debug(2, "Sending simple statement on session 0x%lx\n", id_of(record));
            if (PQsendQuery(connection, replay_get_statement(item)) == 0) what = "simple statement";
            break;
        case pg_prepare:
            print_debug(2, "Sending prepare request on session 0x%lx\n", id_of(record));
            ++state.counters.stat_prepares;
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
        if (PQstatus(connection) == CONNECTION_BAD) {
            // The server ended the session while it was idle.
            if (replay_get_type(item) == pg_prepare) --state.counters.stat_prepares;
            ++state.counters.skipped_items;
            lose_session(state, record, message_of(connection));
            return true;
        }
        print_error("Error sending %s: %s\n", what, PQerrorMessage(connection));
        return false;
    }
    // Results are taken row by row (or in small chunks where libpq has
    // them) and dropped, so that a large one never sits whole in memory.
    if (replay_get_type(item) != pg_prepare) {
#ifdef LIBPQ_HAS_CHUNK_MODE
        PQsetChunkedRowsMode(connection, 256);
#else
        PQsetSingleRowMode(connection);
#endif
    }
    record->report = report_request_sent(item);
    record->state = conn_flushing;
    record->request_type = replay_get_type(item);
    record->request_failed = false;
    bool ok = true;
    if (!read_clock(&record->statement_started_at)) {
        print_system_error("Error calling gettimeofday");
        ok = false;
    }
    count_open(&state.counters.stat_open_statements, &state.counters.stat_max_statements);
    switch (PQflush(connection)) {
        case 0:
            record->state = conn_waiting;
            break;
        case 1:
            print_debug(2, "Session 0x%lx needs to flush again\n", id_of(record));
            break;
        default:
            if (connection_broke(state, record, "Error flushing to database") == step_failed)
                ok = false;
            break;
    }
    return ok;
}

void end_every_session(database_state &state) {
    // Cancel first: a closed connection alone stops a running statement
    // only when the server next talks to the client.
    for (session_connection *record = state.connection_list.head; record != nullptr;
         record = record->next)
        if (record->state == conn_flushing || record->state == conn_waiting) send_cancel(record);
    while (session_connection *record = state.connection_list.head) {
        if (record->state != conn_idle && record->state != conn_closed &&
            record->state != conn_lost) {
            if (record->state == conn_flushing || record->state == conn_waiting)
                --state.counters.stat_open_statements;
            // A session still connecting, or with its request cut off,
            // ends like an idle one.
            record->state = conn_idle;
            if (!record->counted) {
                finish_connection(record);
                record->state = conn_closed;
            }
        }
        close_connection(state, record);
    }
}

bool still_connected(session_connection *record) {
    // Input on an idle connection: notifications, or the server's farewell
    // and then the end of the stream, which may take a second read.
    for (int reads = 0; reads < 4; ++reads) {
        struct pollfd socket = {record->socket, POLLIN, 0};
        if (poll(&socket, 1, 0) <= 0 || socket.revents == 0) return true;
        if (PQconsumeInput(record->connection) == 0 ||
            PQstatus(record->connection) == CONNECTION_BAD)
            return false;
        discard_notifications(record->connection);
    }
    return true;
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
