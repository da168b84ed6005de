#include <sys/select.h>

#include <algorithm>
#include <cstdio>

#include "database/database_state.h"
#include "database/schedule.h"
#include "database/session_connections.h"
#include "quillrun/database.h"
#include "quillrun/messages.h"
#include "quillrun/settings.h"

namespace {

// The longest wait for a busy connection before the item is looked at
// again: short enough that the lag, and its warnings, stay current.
constexpr int64_t wait_cap_microseconds = 50000;

enum class due_action { execute, wait, refuse };

unsigned long printable(uint64_t session_id) { return static_cast<unsigned long>(session_id); }

// The driver never offers an item again after a failure, so the consumer
// releases it on every way out.
int fail(replay_item *item) {
    replay_free(item);
    return -1;
}

int refuse_fatal(const session_connection *record, replay_item *item) {
    print_error("Connection 0x%lx failed with FATAL error: %s\n", printable(record->session_id),
                record->fatal_message != nullptr ? record->fatal_message : "");
    return fail(item);
}

// Answers "not yet", after waiting (bounded) until a busy connection can
// make progress, so that the driver's immediate retry is not a busy loop.
int not_yet(database_state &state, replay_item *item, int64_t limit_microseconds) {
    if (!wait_for_progress(state, std::min(limit_microseconds, wait_cap_microseconds)))
        return fail(item);
    return 0;
}

// Items that cannot belong to the replay: a session acting before its
// connect, or connecting twice.  Nothing is sent for them.
bool session_is_consistent(replay_type type, uint64_t session_id,
                           const session_connection *record) {
    if (type != pg_connect && record == nullptr) {
        print_error("Error: no connection for session 0x%lx\n", printable(session_id));
        return false;
    }
    if (type == pg_connect && record != nullptr) {
        print_error("Error: duplicate connect for session 0x%lx\n", printable(session_id));
        return false;
    }
    return true;
}

// Sleeps until the item is due, or with -j skips that idle time.
bool pass_idle_time(database_state &state, time_value delay) {
    unsigned long seconds = static_cast<unsigned long>(delay.seconds);
    unsigned long microseconds = static_cast<unsigned long>(delay.microseconds);
    if (skip_idle) {
        state.skipped_time = state.skipped_time + delay;
        print_debug(2, "Skipping %lu.%06lu seconds\n", seconds, microseconds);
        return true;
    }
    print_debug(2, "Napping for %lu.%06lu seconds\n", seconds, microseconds);
    struct timeval timeout = {static_cast<time_t>(delay.seconds),
                              static_cast<suseconds_t>(delay.microseconds)};
    if (select(0, nullptr, nullptr, nullptr, &timeout) < 0) {
        perror("Error in select()");
        return false;
    }
    return true;
}

// What a due item does, given its session's state: a cancel goes out while
// its session awaits results, a disconnect waits until the last request is
// answered, a statement until the previous one is.
due_action decide_due(replay_type type, const session_connection *record) {
    if (type == pg_connect) return due_action::execute;
    connection_state state = record->state;
    if (state == conn_closed) return type == pg_disconnect ? due_action::execute : due_action::refuse;
    if (state == conn_idle) return due_action::execute;
    if (state == conn_waiting && type == pg_cancel) return due_action::execute;
    return due_action::wait;
}

int execute(database_state &state, session_connection *record, replay_item *item) {
    ++state.stat_calls;
    bool ok = false;
    switch (replay_get_type(item)) {
        case pg_connect: ok = open_connection(state, item); break;
        case pg_disconnect: ok = close_connection(state, record); break;
        case pg_execute:
        case pg_prepare:
        case pg_exec_prepared: ok = send_request(state, record, item); break;
        case pg_cancel: ok = send_cancel(record); break;
    }
    replay_free(item);
    return ok ? 1 : -1;
}

int consume(database_state &state, replay_item *item) {
    replay_type type = replay_get_type(item);
    uint64_t session_id = replay_get_session_id(item);
    poll_report report = poll_connections(state, session_id);
    time_value item_time = from_timeval(*replay_get_time(item));
    if (!state.consumer_saw_first_item) {
        state.first_item_time = item_time;
        state.consumer_saw_first_item = true;
    }
    if (report.failed) return fail(item);
    session_connection *record = report.record;
    if (!session_is_consistent(type, session_id, record)) return fail(item);

    time_value now;
    if (!read_clock(&now)) {
        print_error("Error: gettimeofday failed\n");
        return fail(item);
    }
    time_value target = target_time(state, item_time);
    check_lag(state, now.seconds - target.seconds);

    if (later_than(target, now)) {
        if (!report.quiet) {
            if (record != nullptr && record->state == conn_closed) return refuse_fatal(record, item);
            return not_yet(state, item, in_microseconds(target - now));
        }
        if (!pass_idle_time(state, target - now)) return fail(item);
    }
    switch (decide_due(type, record)) {
        case due_action::execute: return execute(state, record, item);
        case due_action::refuse: return refuse_fatal(record, item);
        case due_action::wait: break;
    }
    return not_yet(state, item, wait_cap_microseconds);
}

}  // namespace

int database_consumer(replay_item *item) {
    trace_enter("database_consumer");
    int result = consume(replay_state(), item);
    trace_leave("database_consumer");
    return result;
}
