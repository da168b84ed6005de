#include <sys/select.h>

#include <algorithm>
#include <cstdio>

#include "database/consumer_queue.h"
#include "database/database_state.h"
#include "database/schedule.h"
#include "database/session_connections.h"
#include "database/timer_slack.h"
#include "quillrun/alloc.h"
#include "quillrun/database.h"
#include "quillrun/messages.h"
#include "quillrun/report.h"
#include "quillrun/settings.h"

namespace {

// The longest wait for a busy connection before the item is looked at
// again: short enough that the lag, and its warnings, stay current.
constexpr int64_t wait_cap_microseconds = 50000;

// How many items may wait in the sessions' queues before the replay stops
// taking new ones.
constexpr size_t max_pending_items = 100000;

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
    require_timely_wakeups();
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

// Queues an item behind whatever its session still has to do.  The item
// stays the caller's when this fails.
bool enqueue(database_state &state, session_connection *record, replay_item *item,
             time_value target) {
    auto *pending = static_cast<pending_item *>(qr_malloc(sizeof(pending_item)));
    if (pending == nullptr) {
        print_alloc_error(sizeof(pending_item));
        return false;
    }
    *pending = pending_item{item, target, nullptr};
    if (record->pending_head == nullptr) {
        record->pending_head = pending;
        record->next_pending = state.pending_sessions;
        state.pending_sessions = record;
    } else {
        record->pending_tail->next = pending;
    }
    record->pending_tail = pending;
    ++state.pending_count;
    return true;
}

replay_item *dequeue(database_state &state, session_connection *record) {
    pending_item *head = record->pending_head;
    replay_item *item = head->item;
    record->pending_head = head->next;
    if (record->pending_head == nullptr) record->pending_tail = nullptr;
    free(head);
    --state.pending_count;
    return item;
}

// Runs one session's queued items for as long as the session can take
// them.  Returns 1 when the session has nothing queued any more (it may be
// gone: a disconnect releases its record), 0 when items still wait, -1
// after a failure.
int run_session_queue(database_state &state, session_connection *record, time_value now) {
    while (record->pending_head != nullptr) {
        check_lag(state, now.seconds - record->pending_head->target.seconds);
        replay_type type = replay_get_type(record->pending_head->item);
        due_action action = decide_due(type, record);
        if (action == due_action::wait) return 0;
        bool last = record->pending_head->next == nullptr;
        replay_item *item = dequeue(state, record);
        if (action == due_action::refuse) return refuse_fatal(record, item);
        if (type == pg_disconnect && !last) {
            // Nothing can follow a session's end; the items behind it have
            // no connection to go to.
            print_error("Error: no connection for session 0x%lx\n", printable(record->session_id));
            return fail(item);
        }
        if (execute(state, record, item) != 1) return -1;
        if (type == pg_disconnect) return 1;
    }
    return 1;
}

// Runs the queued items whose sessions can take them now.  Sets *ran when
// anything was sent.  False after a failure.
bool run_pending(database_state &state, time_value now, bool *ran) {
    session_connection **link = &state.pending_sessions;
    while (*link != nullptr) {
        session_connection *record = *link;
        size_t before = state.pending_count;
        session_connection *next = record->next_pending;
        int result = run_session_queue(state, record, now);
        if (state.pending_count != before) *ran = true;
        if (result < 0) return false;
        if (result == 1) {
            *link = next;  // the record may already be released
        } else {
            link = &record->next_pending;
        }
    }
    return true;
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

    time_value now;
    if (!read_clock(&now)) {
        print_error("Error: gettimeofday failed\n");
        return fail(item);
    }
    bool quiet = report.quiet;
    bool had_pending = state.pending_count > 0;
    if (had_pending) {
        bool ran = false;
        if (!run_pending(state, now, &ran)) return fail(item);
        if (ran) quiet = false;
    }
    // A queued disconnect may have released the record the poll found.
    session_connection *record =
        had_pending ? session_list_find(state.connection_list, session_id) : report.record;
    if (!session_is_consistent(type, session_id, record)) return fail(item);

    time_value target = target_time(state, item_time);
    check_lag(state, now.seconds - target.seconds);

    if (later_than(target, now)) {
        if (!quiet) {
            if (record != nullptr && record->state == conn_closed) return refuse_fatal(record, item);
            return not_yet(state, item, in_microseconds(target - now));
        }
        if (!pass_idle_time(state, target - now)) return fail(item);
    }
    // A session's items keep their order: behind queued ones, an item waits.
    due_action action = record != nullptr && record->pending_head != nullptr
                            ? due_action::wait
                            : decide_due(type, record);
    switch (action) {
        case due_action::execute:
            report_note_item(item);
            return execute(state, record, item);
        case due_action::refuse: return refuse_fatal(record, item);
        case due_action::wait: break;
    }
    // The session is busy.  Rather than hold up every other session until
    // it is free (which never happens when it waits for a lock that a later
    // item of another session releases), the item waits in the session's
    // queue and the workload goes on.  Only when very many items wait does
    // the replay hold back, to keep memory bounded.
    if (state.pending_count >= max_pending_items || !enqueue(state, record, item, target))
        return not_yet(state, item, wait_cap_microseconds);
    report_note_item(item);
    return 1;
}

}  // namespace

int database_consumer(replay_item *item) {
    trace_enter("database_consumer");
    int result = consume(replay_state(), item);
    trace_leave("database_consumer");
    return result;
}

bool drain_pending_items(database_state &state) {
    while (state.pending_count > 0) {
        if (poll_connections(state, 0).failed) return false;
        time_value now;
        if (!read_clock(&now)) {
            print_error("Error: gettimeofday failed\n");
            return false;
        }
        bool ran = false;
        if (!run_pending(state, now, &ran)) return false;
        if (state.pending_count > 0 && !wait_for_progress(state, wait_cap_microseconds))
            return false;
    }
    return true;
}
