#include "database/scheduler.h"

#include <sys/select.h>

#include <cerrno>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "database/connect_string.h"
#include "database/lock_monitor.h"
#include "database/schedule.h"
#include "database/session_connections.h"
#include "database/timer_slack.h"
#include "quillrun/alloc.h"
#include "quillrun/interrupt.h"
#include "quillrun/messages.h"
#include "quillrun/report.h"
#include "quillrun/settings.h"
#include "quillrun/status_line.h"

namespace {

// The longest wait for a busy connection before the stream is looked at
// again: short enough that the lag, and its warnings, stay current.
constexpr int64_t wait_cap_microseconds = 50000;

// How far ahead of the first unsent item the stream reads, in replay time,
// and so how early a connection may be started.  Connecting takes the
// target some 15 to 25 ms; a second covers that many times over.
constexpr int64_t look_ahead_microseconds = 1000000;
// Bounds of the stream: it is a look-ahead, not a buffer for a slow target.
constexpr size_t max_stream_items = 10000;
constexpr size_t max_stream_bytes = size_t{16} << 20;
// Bound of what parked sessions' queues may hold in all.  Reaching it means
// a lock wait that the replay cannot resolve: it ends with an error rather
// than wait for ever.
constexpr size_t max_queued_bytes = size_t{64} << 20;

// Connections opened ahead of their recorded time at once.  A target's
// max_connections is sized for the recorded concurrency, so the replay
// never has more than this many above what the recording had open.
constexpr uint64_t max_early_connections = 8;

// How long a session may hold up the stream before the server is asked
// whether it waits for a lock of another replayed session, and the longest
// pause between later questions while it goes on holding.  Measured in a
// replay of 8 pgbench clients on one branch row: of some 9,700 hold-ups,
// half ended within 0.2 ms, 99% within 5.5 ms and 99.9% within 10.4 ms;
// the few dozen that did not were lock waits that only a later item of
// another session could end.  A question costs the target a fraction of a
// millisecond; each parking costs the replay this delay.
constexpr int64_t park_check_delay_microseconds = 20000;
constexpr int64_t park_check_max_interval_microseconds = 1000000;
// Without an answer from the server: how long a session may hold up the
// stream before it is parked anyway.
constexpr int64_t stall_limit_microseconds = 1000000;

enum class due_action { execute, wait, refuse, skip };

unsigned long printable(uint64_t session_id) { return static_cast<unsigned long>(session_id); }

time_value after(time_value t, int64_t microseconds) {
    return t + time_value{microseconds / 1000000, microseconds % 1000000};
}

time_value earlier_of(time_value a, time_value b) { return later_than(a, b) ? b : a; }

// What an item holds in memory, for the bounds on the stream and queues.
size_t item_bytes(const replay_item *item) {
    size_t bytes = sizeof(replay_item) + item->count * sizeof(char *);
    for (unsigned i = 0; i < item->count; ++i)
        if (item->data[i] != nullptr) bytes += strlen(item->data[i]) + 1;
    return bytes;
}

time_value item_target(const database_state &state, const replay_item *item) {
    return target_time(state, from_timeval(*replay_get_time(item)));
}

// ---- the stream window ----

window_entry &window_at(stream_window &window, size_t index) {
    return window.entries[(window.front + index) & (window.capacity - 1)];
}

bool window_push(stream_window &window, replay_item *item, size_t bytes) {
    if (window.count == window.capacity) {
        size_t capacity = window.capacity == 0 ? 256 : 2 * window.capacity;
        size_t size = capacity * sizeof(window_entry);
        auto *entries = static_cast<window_entry *>(qr_malloc(size));
        if (entries == nullptr) {
            print_alloc_error(size);
            return false;
        }
        for (size_t i = 0; i < window.count; ++i) entries[i] = window_at(window, i);
        free(window.entries);
        window.entries = entries;
        window.capacity = capacity;
        window.front = 0;
    }
    window.entries[(window.front + window.count) & (window.capacity - 1)] = {item, bytes};
    ++window.count;
    window.bytes += bytes;
    return true;
}

window_entry window_pop(stream_window &window) {
    window_entry entry = window.entries[window.front];
    window.front = (window.front + 1) & (window.capacity - 1);
    --window.count;
    window.bytes -= entry.bytes;
    if (window.connects_scanned > 0) --window.connects_scanned;
    return entry;
}

// Whether the stream takes the offered item now: always when it is empty,
// otherwise while within its bounds and, without -j, within the look-ahead
// of the later of now and the front's due time.
bool window_accepts(const database_state &state, const replay_item *item, size_t bytes,
                    time_value now) {
    const stream_window &window = state.window;
    if (window.count == 0) return true;
    if (window.count >= max_stream_items || window.bytes + bytes > max_stream_bytes) return false;
    if (skip_idle) return true;
    const replay_item *front = window.entries[window.front].item;
    time_value front_target = item_target(state, front);
    time_value horizon = after(later_than(front_target, now) ? front_target : now,
                               look_ahead_microseconds);
    return !later_than(item_target(state, item), horizon);
}

// The driver never offers an item again after a failure, so the scheduler
// releases it on every way out.
bool fail(replay_item *item) {
    replay_free(item);
    return false;
}

void skip(database_state &state, replay_item *item) {
    ++state.counters.skipped_items;
    replay_free(item);
}

bool refuse_fatal(const session_connection *record, replay_item *item) {
    print_error("Connection 0x%lx failed with FATAL error: %s\n", printable(record->session_id),
                record->fatal_message != nullptr ? record->fatal_message : "");
    return fail(item);
}

// Items that cannot belong to the replay: a session acting before its
// connect, or connecting twice.  Nothing is sent for them.
bool session_is_consistent(replay_type type, uint64_t session_id,
                           const session_connection *record) {
    // A connection opened ahead of time belongs to a connect item that has
    // not been reached yet.
    if (type != pg_connect && (record == nullptr || record->opened_early)) {
        print_error("Error: no connection for session 0x%lx\n", printable(session_id));
        return false;
    }
    if (type == pg_connect && record != nullptr && !record->opened_early) {
        print_error("Error: duplicate connect for session 0x%lx\n", printable(session_id));
        return false;
    }
    return true;
}

// What a due item does, given its session's state: a cancel goes out while
// its session awaits results, a disconnect waits until the last request is
// answered, a statement until the previous one is.  The items of a session
// that the server ended are skipped, but for its disconnect.
due_action decide_due(replay_type type, const session_connection *record) {
    if (type == pg_connect) return due_action::execute;
    connection_state state = record->state;
    if (state == conn_closed) return type == pg_disconnect ? due_action::execute : due_action::refuse;
    if (state == conn_lost) return type == pg_disconnect ? due_action::execute : due_action::skip;
    if (state == conn_idle) return due_action::execute;
    if (state == conn_waiting && type == pg_cancel) return due_action::execute;
    return due_action::wait;
}

// A connect item whose connection was opened ahead of time: it now counts,
// as if it had been opened at this moment.  One refused while early is
// tried again, on time.
bool adopt_early_connection(database_state &state, session_connection *record,
                            const replay_item *item) {
    record->opened_early = false;
    --state.early_open;
    bool refused = record->state == conn_closed && record->refused_early;
    // A server may end a connection that waits idle for its first
    // statement (idle_session_timeout), which it would not have on time.
    bool ended = record->state == conn_idle && !still_connected(record);
    if (refused || ended) {
        print_debug(2, "Connecting session 0x%lx again, %s while opened ahead of time\n",
                    printable(record->session_id), refused ? "refused" : "ended by the server");
        discard_record(state, record);
        return open_connection(state, item);
    }
    if (record->state == conn_idle) return count_connection(state, record);
    return true;  // still connecting: it counts once established
}

// The lock monitor asks with the connection options of a replayed session;
// those of the first one are known to be accepted.
bool remember_monitor_conninfo(database_state &state, const replay_item *item) {
    if (state.monitor_conninfo != nullptr) return true;
    state.monitor_conninfo =
        build_session_conninfo(state.connect_string != nullptr ? state.connect_string : "",
                               replay_get_user(item), replay_get_database(item));
    return state.monitor_conninfo != nullptr;
}

bool execute(database_state &state, session_connection *record, replay_item *item) {
    ++state.counters.stat_calls;
    bool ok = false;
    switch (replay_get_type(item)) {
        case pg_connect:
            ok = remember_monitor_conninfo(state, item) &&
                 (record != nullptr ? adopt_early_connection(state, record, item)
                                    : open_connection(state, item));
            break;
        case pg_disconnect: ok = close_connection(state, record); break;
        case pg_execute:
        case pg_prepare:
        case pg_exec_prepared: ok = send_request(state, record, item); break;
        case pg_cancel: ok = send_cancel(record); break;
    }
    replay_free(item);
    return ok;
}

// ---- parked sessions and their queues ----

const session_connection *fullest_queue(const database_state &state) {
    const session_connection *fullest = nullptr;
    for (const session_connection *record = state.pending_sessions; record != nullptr;
         record = record->next_pending)
        if (fullest == nullptr || record->pending_bytes > fullest->pending_bytes) fullest = record;
    return fullest;
}

void report_queue_overflow(const database_state &state) {
    const session_connection *record = fullest_queue(state);
    unsigned long megabytes = static_cast<unsigned long>(max_queued_bytes >> 20);
    if (record->blocker_session_id != 0)
        print_error("Error: the items waiting behind session 0x%lx, which waits for a lock held by "
                    "session 0x%lx, exceed what the replay holds (%lu MB)\n",
                    printable(record->session_id), printable(record->blocker_session_id),
                    megabytes);
    else
        print_error("Error: the items waiting behind session 0x%lx, which has not finished its "
                    "statement since it was set aside, exceed what the replay holds (%lu MB)\n",
                    printable(record->session_id), megabytes);
}

// Queues an item behind whatever its parked session still has to do.  The
// item stays the caller's when this fails (message printed).
bool enqueue(database_state &state, session_connection *record, replay_item *item,
             time_value target, size_t bytes) {
    if (state.pending_bytes + bytes > max_queued_bytes) {
        report_queue_overflow(state);
        return false;
    }
    auto *pending = static_cast<pending_item *>(qr_malloc(sizeof(pending_item)));
    if (pending == nullptr) {
        print_alloc_error(sizeof(pending_item));
        return false;
    }
    *pending = pending_item{item, target, bytes, nullptr};
    if (record->pending_head == nullptr)
        record->pending_head = pending;
    else
        record->pending_tail->next = pending;
    record->pending_tail = pending;
    record->pending_bytes += bytes;
    ++state.pending_count;
    state.pending_bytes += bytes;
    return true;
}

replay_item *dequeue(database_state &state, session_connection *record) {
    pending_item *head = record->pending_head;
    replay_item *item = head->item;
    record->pending_head = head->next;
    if (record->pending_head == nullptr) record->pending_tail = nullptr;
    record->pending_bytes -= head->bytes;
    state.pending_bytes -= head->bytes;
    --state.pending_count;
    free(head);
    return item;
}

void park(database_state &state, session_connection *record, uint64_t blocker,
          time_value now) {
    record->parked = true;
    record->blocker_session_id = blocker;
    record->next_pending = state.pending_sessions;
    state.pending_sessions = record;
    if (blocker != 0) {
        print_debug(2, "Session 0x%lx waits for a lock held by session 0x%lx; the replay goes on "
                       "without it\n",
                    printable(record->session_id), printable(blocker));
    } else {
        print_error("Warning: session 0x%lx has held up the replay for %.3f seconds; later "
                    "sessions go ahead\n",
                    printable(record->session_id), in_seconds(now - state.hold.since));
    }
    state.hold.active = false;
}

// Runs one parked session's queued items for as long as the session can
// take them.  Returns 1 when the session is done with being parked (its
// queue is empty and it is idle, or a disconnect released its record), 0
// while it stays parked, -1 after a failure.
int run_session_queue(database_state &state, session_connection *record, time_value now,
                      bool *sent) {
    while (record->pending_head != nullptr) {
        check_lag(state, now.seconds - record->pending_head->target.seconds);
        replay_type type = replay_get_type(record->pending_head->item);
        due_action action = decide_due(type, record);
        if (action == due_action::wait) return 0;
        bool last = record->pending_head->next == nullptr;
        replay_item *item = dequeue(state, record);
        *sent = true;
        if (action == due_action::refuse) {
            refuse_fatal(record, item);
            return -1;
        }
        if (action == due_action::skip) {
            skip(state, item);
            continue;
        }
        if (type == pg_disconnect && !last) {
            // Nothing can follow a session's end; the items behind it have
            // no connection to go to.
            print_error("Error: no connection for session 0x%lx\n", printable(record->session_id));
            replay_free(item);
            return -1;
        }
        if (!execute(state, record, item)) return -1;
        if (type == pg_disconnect) return 1;
    }
    if (is_busy(record->state)) return 0;
    print_debug(2, "Session 0x%lx rejoins the replay's order\n", printable(record->session_id));
    record->parked = false;
    record->blocker_session_id = 0;
    return 1;
}

bool run_parked_sessions(database_state &state, time_value now, bool *sent) {
    session_connection **link = &state.pending_sessions;
    while (*link != nullptr) {
        session_connection *record = *link;
        session_connection *next = record->next_pending;
        int result = run_session_queue(state, record, now, sent);
        if (result < 0) return false;
        if (result == 1) {
            *link = next;  // the record may already be released
        } else {
            link = &record->next_pending;
        }
    }
    return true;
}

// ---- the hold-up and the question to the server ----

void note_hold(database_state &state, uint64_t session_id, time_value now) {
    stream_hold &hold = state.hold;
    if (hold.active && hold.session_id == session_id) return;
    hold.active = true;
    hold.session_id = session_id;
    hold.since = now;
    hold.next_check = after(now, park_check_delay_microseconds);
    hold.check_interval = park_check_delay_microseconds;
}

session_connection *session_of_backend(const database_state &state, int pid) {
    for (session_connection *record = state.connection_list.head; record != nullptr;
         record = record->next)
        if (record->backend_pid == pid && record->connection != nullptr) return record;
    return nullptr;
}

// Parks the session holding up the stream when the server says a session
// of the replay blocks it.  True when it parked one.
bool take_monitor_answer(database_state &state, time_value now) {
    int pid = 0;
    const int *blockers = nullptr;
    size_t count = 0;
    if (!monitor_take_answer(state.monitor, &pid, &blockers, &count)) return false;
    if (!state.hold.active) return false;
    session_connection *held = session_list_find(state.connection_list, state.hold.session_id);
    if (held == nullptr || held->backend_pid != pid || !is_busy(held->state)) return false;
    for (size_t i = 0; i < count; ++i) {
        session_connection *blocker = session_of_backend(state, blockers[i]);
        if (blocker != nullptr && blocker != held) {
            park(state, held, blocker->session_id, now);
            return true;
        }
    }
    print_debug(2, "Session 0x%lx waits for no other session of the replay\n",
                printable(held->session_id));
    return false;
}

// Asks the server about the session holding up the stream once it has
// held it long enough, or, when the server cannot be asked, parks it after
// the stall limit.  True when it parked one.
bool check_hold(database_state &state, time_value now) {
    stream_hold &hold = state.hold;
    if (!hold.active || later_than(hold.next_check, now)) return false;
    session_connection *held = session_list_find(state.connection_list, hold.session_id);
    if (held == nullptr) {
        hold.active = false;
        return false;
    }
    if (!monitor_available(state.monitor)) {
        time_value limit = after(hold.since, stall_limit_microseconds);
        if (!later_than(limit, now)) {
            park(state, held, 0, now);
            return true;
        }
        hold.next_check = limit;
        return false;
    }
    // Only a session with a statement in flight can wait for a lock.
    if ((held->state == conn_flushing || held->state == conn_waiting) && held->backend_pid != 0 &&
        !monitor_busy(state.monitor) && state.monitor_conninfo != nullptr) {
        print_debug(2, "Asking which sessions block session 0x%lx\n", printable(held->session_id));
        monitor_ask(state.monitor, state.monitor_conninfo, held->backend_pid, now);
    }
    hold.next_check = after(now, hold.check_interval);
    hold.check_interval = std::min(2 * hold.check_interval, park_check_max_interval_microseconds);
    return false;
}

// ---- sending from the front of the stream ----

// Sends the due items from the front of the stream for as long as their
// sessions can take them; items of parked sessions move to their queues.
// Stops at the first item that is not due or whose session is busy (which
// then holds up the stream).  False after a failure.
bool run_stream(database_state &state, time_value now, bool *sent, bool *queued) {
    stream_window &window = state.window;
    while (window.count > 0) {
        replay_item *item = window.entries[window.front].item;
        time_value target = item_target(state, item);
        if (later_than(target, now)) {
            state.hold.active = false;
            return true;
        }
        check_lag(state, now.seconds - target.seconds);
        replay_type type = replay_get_type(item);
        uint64_t session_id = replay_get_session_id(item);
        session_connection *record = session_list_find(state.connection_list, session_id);
        if (!session_is_consistent(type, session_id, record)) {
            window_pop(window);
            return fail(item);
        }
        bool parked = record != nullptr && record->parked;
        due_action action = parked ? due_action::execute : decide_due(type, record);
        if (action == due_action::wait) {
            note_hold(state, session_id, now);
            return true;
        }
        size_t bytes = window_pop(window).bytes;
        state.hold.active = false;
        *sent = true;
        if (type == pg_connect) ++state.recorded_open;
        if (type == pg_disconnect && state.recorded_open > 0) --state.recorded_open;
        if (parked) {
            if (!enqueue(state, record, item, target, bytes)) return fail(item);
            *queued = true;
            continue;
        }
        if (action == due_action::refuse) return refuse_fatal(record, item);
        if (action == due_action::skip) {
            skip(state, item);
            continue;
        }
        if (!execute(state, record, item)) return false;
    }
    state.hold.active = false;
    return true;
}

// Starts the connections of sessions whose connect item is within the
// look-ahead (with -j: in the stream at all), a few at a time.  Sets
// *wake to the moment the next one may start, when that is known.  False
// after a failure.
bool open_early_connections(database_state &state, time_value now, bool *sent, bool *has_wake,
                            time_value *wake) {
    stream_window &window = state.window;
    *has_wake = false;
    while (window.connects_scanned < window.count) {
        replay_item *item = window_at(window, window.connects_scanned).item;
        if (replay_get_type(item) != pg_connect) {
            ++window.connects_scanned;
            continue;
        }
        if (!skip_idle) {
            time_value start = item_target(state, item) - time_value{0, look_ahead_microseconds};
            if (later_than(start, now)) {
                *has_wake = true;
                *wake = start;
                return true;
            }
        }
        uint64_t session_id = replay_get_session_id(item);
        if (session_list_find(state.connection_list, session_id) != nullptr) {
            ++window.connects_scanned;  // the front sorts it out in turn
            continue;
        }
        if (later_than(state.no_early_connections_until, now) ||
            state.early_open >= max_early_connections ||
            state.connection_list.count >= state.recorded_open + max_early_connections)
            return true;
        print_debug(2, "Opening the connection of session 0x%lx ahead of time\n",
                    printable(session_id));
        if (!open_connection(state, item, true)) return false;
        ++state.early_open;
        ++window.connects_scanned;
        *sent = true;
    }
    return true;
}

struct advance_result {
    bool ok = true;
    bool sent = false;      // something was sent, queued or started
    bool has_wake = false;  // a connection may start early at `wake`
    time_value wake;
};

// Everything that can happen now, without waiting: parked sessions' queues,
// the front of the stream, parking, connections ahead of time.
advance_result advance(database_state &state, time_value now) {
    advance_result result;
    bool again = take_monitor_answer(state, now);
    for (bool first = true; first || again; first = false) {
        bool queued = false;
        if (!run_parked_sessions(state, now, &result.sent) ||
            !run_stream(state, now, &result.sent, &queued)) {
            result.ok = false;
            return result;
        }
        // Items just queued may run at once; a session just parked lets
        // the stream go on.
        again = queued || check_hold(state, now);
    }
    result.ok =
        open_early_connections(state, now, &result.sent, &result.has_wake, &result.wake);
    return result;
}

// Sleeps until the front item is due (or an early connection may start),
// or with -j skips that idle time.
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
    // The status line moves on through idle time: the nap ends early, and
    // the caller looks again, as after a signal.
    if (status_line_active() && in_microseconds(delay) > status_line_period_microseconds)
        timeout = {0, static_cast<suseconds_t>(status_line_period_microseconds)};
    require_timely_wakeups();
    if (select(0, nullptr, nullptr, nullptr, &timeout) < 0) {
        // A signal cut the nap short: the caller looks again (and the
        // driver ends an interrupted run).
        if (errno == EINTR) return true;
        print_system_error("Error in select()");
        return false;
    }
    return true;
}

// Waits for something to change: when nothing is in flight, until the
// front item is due (or a connection may start early); otherwise until a
// busy socket is ready, bounded by the front's due time, the next question
// about a hold-up and a cap.  False after a failure.
bool wait_for_change(database_state &state, time_value now, bool quiet,
                     const advance_result &advanced) {
    const stream_window &window = state.window;
    time_value until = after(now, wait_cap_microseconds);
    bool front_pending = false;
    if (window.count > 0) {
        time_value front_target = item_target(state, window.entries[window.front].item);
        if (later_than(front_target, now)) {
            front_pending = true;
            until = earlier_of(until, front_target);
        }
    }
    if (quiet) {
        if (!front_pending) return true;  // nothing to wait for
        time_value due = item_target(state, window.entries[window.front].item);
        if (advanced.has_wake && later_than(due, advanced.wake) && !skip_idle)
            due = later_than(advanced.wake, now) ? advanced.wake : now;
        return pass_idle_time(state, due - now);
    }
    if (state.hold.active) until = earlier_of(until, state.hold.next_check);
    if (advanced.has_wake) until = earlier_of(until, advanced.wake);
    int64_t timeout = later_than(until, now) ? in_microseconds(until - now) : 0;
    return wait_for_progress(state, timeout);
}

// One round: a poll pass over the connections, then everything that can
// happen now.  With an item, the stream takes it when it can.
struct round_result {
    bool ok = true;
    bool taken = false;
    bool quiet = true;
    time_value now;
    advance_result advanced;
};

round_result run_round(database_state &state, replay_item *item) {
    round_result round;
    poll_report report = poll_connections(state, 0);
    if (item != nullptr && !state.consumer_saw_first_item) {
        state.first_item_time = from_timeval(*replay_get_time(item));
        state.consumer_saw_first_item = true;
    }
    if (report.failed || !read_clock(&round.now)) {
        if (!report.failed) print_error("Error: gettimeofday failed\n");
        round.ok = false;
        return round;
    }
    if (item != nullptr) {
        size_t bytes = item_bytes(item);
        if (window_accepts(state, item, bytes, round.now)) {
            if (!window_push(state.window, item, bytes)) {
                round.ok = false;
                return round;
            }
            round.taken = true;
            state.last_item_time = from_timeval(*replay_get_time(item));
            // In the provider's order, and before any of the item's session's
            // later items can be sent.
            report_note_item(item);
        }
    }
    round.advanced = advance(state, round.now);
    round.ok = round.advanced.ok;
    round.quiet = report.quiet && !round.advanced.sent;
    return round;
}

}  // namespace

int scheduler_take(database_state &state, replay_item *item) {
    // The driver ends an interrupted run; the item stays its own.
    if (interrupt_requested()) return 0;
    round_result round = run_round(state, item);
    if (!round.ok) {
        if (!round.taken) replay_free(item);
        return -1;
    }
    if (round.taken) return 1;
    if (!wait_for_change(state, round.now, round.quiet, round.advanced)) {
        replay_free(item);
        return -1;
    }
    return 0;
}

bool scheduler_complete(database_state &state) {
    for (;;) {
        if (interrupt_requested()) return false;
        status_line_tick();
        round_result round = run_round(state, nullptr);
        if (!round.ok) return false;
        if (state.window.count == 0 && state.pending_count == 0) return true;
        if (!wait_for_change(state, round.now, round.quiet, round.advanced)) return false;
    }
}

void scheduler_release(database_state &state) {
    stream_window &window = state.window;
    while (window.count > 0) replay_free(window_pop(window).item);
    free(window.entries);
    window = stream_window{};
    for (session_connection *record = state.connection_list.head; record != nullptr;
         record = record->next) {
        while (record->pending_head != nullptr) replay_free(dequeue(state, record));
        record->parked = false;
    }
    state.pending_sessions = nullptr;
    monitor_release(state.monitor);
    free(state.monitor_conninfo);
    state.monitor_conninfo = nullptr;
}
