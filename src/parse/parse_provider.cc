#include "parse_provider.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "csvlog_entry.h"
#include "duration_entry.h"
#include "errlog_entry.h"
#include "jsonlog_entry.h"
#include "log_entry.h"
#include "log_reader.h"
#include "parse_state.h"
#include "quillrun/messages.h"
#include "quillrun/parse.h"
#include "quillrun/settings.h"
#include "session_tracking.h"
#include "statement_filter.h"
#include "text.h"
#include "workload_gaps.h"

const log_entry_parser entry_parsers[3] = {parse_errlog_entry, parse_csvlog_entry,
                                           parse_jsonlog_entry};

namespace {

// One log entry as the entry parser delivers it; releases its strings.
struct log_entry {
    struct timeval time = {0, 0};
    char user[max_name_length + 1] = "";
    char database[max_name_length + 1] = "";
    uint64_t session_id = 0;
    log_type level = log_unknown;
    char *message = nullptr;
    char *detail = nullptr;  // a string of its own only in the stderr format
    log_format format = stderr_format;

    log_entry() = default;
    log_entry(const log_entry &) = delete;
    log_entry &operator=(const log_entry &) = delete;
    ~log_entry() { release(); }

    int read() {
        release();
        format = format_of(parse_unit_state().setup);
        return entry_parsers[format](&time, user, database, &session_id, &level, &message,
                                     &detail);
    }
    void release() {
        if (format == stderr_format) recycle_log_line(detail);
        recycle_log_line(message);
        message = nullptr;
        detail = nullptr;
    }
};

replay_item *pop_queue(provider_state &provider) {
    replay_item *item = provider.queue[0].release();
    provider.queue[0] = std::move(provider.queue[1]);
    return item;
}

void clear_queue(provider_state &provider) {
    provider.queue[0].reset();
    provider.queue[1].reset();
}

// Which event an entry records, and what it carries.
struct entry_kind {
    // give_duration: a bare "duration: X ms" for the statement that
    // log_statement wrote when it began.
    enum { skip, ignore_fastpath, ignore_copy, event, give_duration } action = skip;
    replay_type type = pg_connect;
    char *statement = nullptr;  // execute: the text; exec_prepared: the statement
    const char *name = nullptr;  // exec_prepared: the statement name, "" for the unnamed one
    bool duration_entry = false;
    // From a duration entry: the statement's duration; an event's items
    // then carry the time at which the statement began.
    int64_t duration_us = no_recorded_duration;
};

// An empty name always passes; a list is "\name\name\".
bool passes_filter(const char *filter, const char *name) {
    if (filter == nullptr || name[0] == '\0') return true;
    char pattern[max_name_length + 3];
    snprintf(pattern, sizeof pattern, "\\%s\\", name);
    return strstr(filter, pattern) != nullptr;
}

bool passes_filters(const parse_setup &setup, const log_entry &entry) {
    if (!passes_filter(setup.database_filter, entry.database)) {
        print_debug(2, "Database \"%s\" does not match filter, skipped log entry\n",
                    entry.database);
        return false;
    }
    if (!passes_filter(setup.username_filter, entry.user)) {
        print_debug(2, "User \"%s\" does not match filter, skipped log entry\n", entry.user);
        return false;
    }
    return true;
}

// "execute NAME: STATEMENT".  False after a reported error.
bool split_execution(char *text, entry_kind &kind) {
    char *colon = strchr(text, ':');
    if (colon == nullptr) {
        print_error("Error: missing statement name in line %lu\n", log_line_number());
        return false;
    }
    *colon = '\0';
    kind.name = same_text(text, "<unnamed>") ? "" : text;
    // The statement follows ": "; never step over the end of a cut message.
    char *statement = colon + 1;
    if (*statement != '\0') ++statement;
    kind.statement = statement;
    return true;
}

// "NAME: STATEMENT", the text after "execute ".  False after a reported
// error.
bool classify_execution(char *text, entry_kind &kind) {
    print_debug(2, "Prepared statement execution found%s\n", "");
    kind.action = entry_kind::event;
    kind.type = pg_exec_prepared;
    if (!split_execution(text, kind)) return false;
    // A COPY has no data in the log, through either protocol.
    if (is_copy_statement(kind.statement)) kind.action = entry_kind::ignore_copy;
    return true;
}

// "duration: X ms", alone or followed by two blanks and what the statement
// was.  Parse and bind steps are not replayed: their execution carries the
// text that the prepare needs.  False after a reported error.
bool classify_duration(char *message, entry_kind &kind) {
    duration_entry duration;
    if (!parse_duration_entry(message, duration)) return false;
    kind.duration_entry = true;
    kind.duration_us = duration.microseconds;
    char *rest = duration.rest;
    if (rest == nullptr) {
        print_debug(2, "Duration of a logged statement found%s\n", "");
        kind.action = entry_kind::give_duration;
    } else if (starts_with(rest, "statement: ")) {
        print_debug(2, "Simple statement found%s\n", "");
        kind.action = entry_kind::event;
        kind.type = pg_execute;
        kind.statement = rest + strlen("statement: ");
    } else if (starts_with(rest, "execute ")) {
        return classify_execution(rest + strlen("execute "), kind);
    } else if (same_text(rest, "execute")) {
        print_error("Error: missing statement name in line %lu\n", log_line_number());
        return false;
    } else if (starts_with(rest, "fastpath function call: ")) {
        kind.action = entry_kind::ignore_fastpath;
    }
    return true;
}

// Decides what the entry is.  False after a reported error.
bool classify(const log_entry &entry, entry_kind &kind) {
    char *message = entry.message;
    kind = entry_kind{};
    if (entry.level == log_error) {
        if (starts_with(message, "canceling statement due to user request")) {
            print_debug(2, "Cancel request found%s\n", "");
            kind.action = entry_kind::event;
            kind.type = pg_cancel;
        }
    } else if (entry.level == log_log) {
        if (starts_with(message, "connection authorized: ")) {
            print_debug(2, "Connection 0x%lx found\n", static_cast<unsigned long>(entry.session_id));
            kind.action = entry_kind::event;
            kind.type = pg_connect;
        } else if (starts_with(message, "disconnection: ")) {
            print_debug(2, "Disconnection found%s\n", "");
            kind.action = entry_kind::event;
            kind.type = pg_disconnect;
        } else if (starts_with(message, "statement: ")) {
            print_debug(2, "Simple statement found%s\n", "");
            kind.action = entry_kind::event;
            kind.type = pg_execute;
            kind.statement = message + strlen("statement: ");
        } else if (starts_with(message, "execute ")) {
            return classify_execution(message + strlen("execute "), kind);
        } else if (starts_with(message, "duration: ")) {
            return classify_duration(message, kind);
        } else if (starts_with(message, "fastpath function call: ")) {
            kind.action = entry_kind::ignore_fastpath;
        }
    }
    return true;
}

// The prepare (when the session needs one) and the execution with its bind
// values.  False after a reported error.
bool queue_execution(provider_state &state, const log_entry &entry, const entry_kind &kind,
                     connection_entry *session, const struct timeval &time) {
    pstmt_status status = add_pstmt(session, kind.name);
    if (status == pstmt_status::error) return false;
    if (status == pstmt_status::prepare_needed) {
        state.queue[0].reset(
            replay_create_prepare(&time, entry.session_id, kind.name, kind.statement));
        if (state.queue[0] == nullptr) return false;
    }
    item_ptr &slot = state.queue[0] == nullptr ? state.queue[0] : state.queue[1];
    const char *detail = entry.detail;
    if (detail == nullptr) {
        print_debug(2, "Prepared statement \"%s\" has no bind arguments\n", kind.name);
        slot.reset(replay_create_exec_prepared(&time, entry.session_id, kind.name, 0, nullptr));
        if (slot == nullptr) return false;
        replay_set_recorded_duration(slot.get(), kind.duration_us);
        return true;
    }
    if (!starts_with(detail, "parameters: ")) {
        print_error("Error: no parameters for prepared statement at line %lu\n", log_line_number());
        return false;
    }
    print_debug(2, "Reading bind arguments for prepared statement \"%s\"\n", kind.name);
    if (!parse_bind_args(entry.detail + strlen("parameters: "), state.bind_buffer)) return false;
    // parse_bind_args refuses lists that do not fit the item's count.
    slot.reset(replay_create_exec_prepared(&time, entry.session_id, kind.name,
                                           static_cast<uint16_t>(state.bind_buffer.count()),
                                           state.bind_buffer.values()));
    if (slot == nullptr) return false;
    replay_set_recorded_duration(slot.get(), kind.duration_us);
    return true;
}

struct timeval start_of(const struct timeval &end, int64_t duration_us) {
    int64_t start = time_in_microseconds(end) - duration_us;
    // Floor division: times before the base instant are negative.
    int64_t seconds = start >= 0 ? start / 1000000 : -((-start + 999999) / 1000000);
    struct timeval time;
    time.tv_sec = static_cast<time_t>(seconds);
    time.tv_usec = static_cast<suseconds_t>(start - seconds * 1000000);
    return time;
}

void note_statement(workload_gaps &gaps, const entry_kind &kind) {
    if (kind.duration_us != no_recorded_duration)
        note_timed_statement(gaps, kind.duration_us);
    else
        note_logged_statement(gaps, kind.statement);
}

// Fills the queue with the items of a recognised entry; *connect is the
// connect item of a session seen for the first time.  False after a
// reported error.
bool queue_event(parse_state &unit, const log_entry &entry, const entry_kind &kind,
                 item_ptr &connect) {
    provider_state &state = unit.provider;
    connection_entry *session = nullptr;
    replay_item *new_connect = nullptr;
    bool timed = kind.duration_us != no_recorded_duration;
    struct timeval time = timed ? start_of(entry.time, kind.duration_us) : entry.time;
    if (!add_connection(&time, entry.session_id, entry.user, entry.database, &session,
                        &new_connect))
        return false;
    connect.reset(new_connect);
    if (connect != nullptr) ++state.gaps.sessions;
    // Time stamps are cut to the millisecond, so an estimated start can fall
    // just before the session's previous item; it must not overtake it.
    if (timed && timercmp(&time, &session->last_item_time, <)) time = session->last_item_time;
    session->last_item_time = time;
    session->last_entry_us = time_in_microseconds(entry.time);
    state.entry_session = session;
    state.entry_awaits_duration =
        !timed && (kind.type == pg_execute || kind.type == pg_exec_prepared);
    if (connect != nullptr && kind.type != pg_connect)
        print_debug(2, "Automatically generated connection%s\n", "");
    if (connect == nullptr && kind.type == pg_connect) {
        print_error("Error: duplicate session ID 0x%lx\n",
                    static_cast<unsigned long>(entry.session_id));
        return false;
    }

    switch (kind.type) {
        case pg_connect:
            return true;
        case pg_disconnect:
            state.entry_session = nullptr;
            state.queue[0].reset(replay_create_disconnect(&time, entry.session_id));
            if (state.queue[0] == nullptr) return false;
            if (!remove_connection(entry.session_id)) {
                print_error("Error: cannot remove connection %lx from hash table\n",
                            static_cast<unsigned long>(entry.session_id));
                return false;
            }
            return true;
        case pg_execute:
            note_statement(state.gaps, kind);
            if (!filter_bad_statements(kind.statement, session)) return false;
            state.queue[0].reset(replay_create_execute(&time, entry.session_id, kind.statement));
            if (state.queue[0] == nullptr) return false;
            replay_set_recorded_duration(state.queue[0].get(), kind.duration_us);
            return true;
        case pg_exec_prepared:
            note_statement(state.gaps, kind);
            return queue_execution(state, entry, kind, session, time);
        case pg_cancel:
            ++unit.statistics.cancel_requests;
            state.queue[0].reset(replay_create_cancel(&time, entry.session_id));
            return state.queue[0] != nullptr;
        default:
            print_error("Error: impossible type parsing line %lu\n", log_line_number());
            return false;
    }
}

// Entries of concurrent sessions reach the log a few milliseconds out of
// order as a matter of course; a larger step back (a clock set back, a log
// written in another zone than the local one across its daylight-saving
// change) is worth a word, once.
constexpr long long backwards_tolerance_us = 1000000;

// The entry's own time is checked, the time of its items recorded: that of
// a statement from a duration entry is when it began, which may well lie
// seconds before entries already read.
void note_entry_time(parse_state &unit, const struct timeval &entry_time,
                     const struct timeval &item_time) {
    provider_state &state = unit.provider;
    if (state.have_event_time && !state.warned_time_backwards) {
        long long behind =
            (static_cast<long long>(state.newest_event_time.tv_sec) - entry_time.tv_sec) *
                1000000 +
            (state.newest_event_time.tv_usec - entry_time.tv_usec);
        if (behind > backwards_tolerance_us) {
            print_error("Warning: time runs backwards by %.3f seconds in line %lu of the log\n",
                        static_cast<double>(behind) / 1e6, unit.entry_line);
            state.warned_time_backwards = true;
        }
    }
    if (!state.have_event_time || timercmp(&entry_time, &state.newest_event_time, >))
        state.newest_event_time = entry_time;
    state.have_event_time = true;
    record_entry_time(unit.statistics, item_time);
}

// A bare duration entry: the session's statement that log_statement wrote
// when it began has ended.
void give_duration(const log_entry &entry, int64_t duration_us) {
    connection_entry *session = find_connection(entry.session_id);
    if (session != nullptr) session->last_entry_us = time_in_microseconds(entry.time);
    if (session == nullptr || session->awaiting_duration == nullptr) {
        print_debug(2, "No statement held for the duration, skipped log entry%s\n", "");
        return;
    }
    *session->awaiting_duration = duration_us;
    session->awaiting_duration = nullptr;
}

// Reads entries up to the next one that yields items and returns its first
// item, leaving the others queued.  Null after a reported error; end_item
// when the input is exhausted.
replay_item *next_event_item(parse_state &unit) {
    provider_state &state = unit.provider;
    log_entry entry;
    for (;;) {
        int result = entry.read();
        if (result == 0) {
            state.input_ended = true;
            warn_about_gaps(state.gaps);
            return end_item;
        }
        if (result != 1) return nullptr;
        int64_t entry_us = time_in_microseconds(entry.time);
        if (entry_us > state.newest_entry_us) state.newest_entry_us = entry_us;
        if (!passes_filters(unit.setup, entry)) continue;

        entry_kind kind;
        if (!classify(entry, kind)) return nullptr;
        if (entry.level == log_error) ++state.gaps.failed_statements;
        if (kind.duration_entry) state.reordering = true;
        if (kind.action == entry_kind::give_duration) {
            give_duration(entry, kind.duration_us);
            continue;
        }
        if (kind.action == entry_kind::ignore_fastpath) {
            ++unit.statistics.fastpath_calls;
            print_error("Warning: fast-path function call ignored in line %lu\n", log_line_number());
            continue;
        }
        if (kind.action == entry_kind::ignore_copy) {
            print_error("Warning: COPY statement ignored in line %lu\n", log_line_number());
            continue;
        }
        if (kind.action == entry_kind::skip) {
            print_debug(2, "Skipped log entry%s\n", "");
            continue;
        }

        item_ptr connect;
        if (!queue_event(unit, entry, kind, connect)) {
            clear_queue(state);
            return nullptr;
        }
        if (state.queue[0] == nullptr) state.queue[0] = std::move(state.queue[1]);
        replay_item *item = connect != nullptr ? connect.release() : pop_queue(state);
        state.last_entry_time = *replay_get_time(item);
        note_entry_time(unit, entry.time, state.last_entry_time);
        return item;
    }
}

// After the end of the input: one disconnect per open session, then the end.
replay_item *close_next_session(const provider_state &state) {
    // Held items may end later than the last entry's first item: a
    // statement from a duration entry is stamped with its start.
    const struct timeval &time = state.reordering ? state.newest_event_time : state.last_entry_time;
    connection_entry *session = first_open_connection();
    if (session == nullptr) {
        print_debug(2, "End-of-file encountered, signal end%s\n", "");
        return end_item;
    }
    uint64_t session_id = session->session_id;
    print_debug(2, "End-of-file encountered, creating disconnect item for session 0x%lx\n",
                static_cast<unsigned long>(session_id));
    replay_item *item = replay_create_disconnect(&time, session_id);
    if (item == nullptr) return nullptr;
    remove_connection(session_id);
    return item;
}

// A jsonlog line is a JSON object, while a line of the other formats
// begins with a time stamp (or, in a stderr log, with other programs'
// output), never with a brace; so the first byte tells.  False after a
// reported error: a read error, or a jsonlog log with -P.
bool detect_log_format(parse_state &unit) {
    int first = peek_log_byte();
    if (first == -2) return false;
    if (first == '{' && unit.setup.prefix.active && unit.setup.prefix.text[0] != '{') {
        print_error("Error: the log is in jsonlog format, option -P is for stderr logs only\n");
        return false;
    }
    if (first == '{' && !unit.setup.prefix.active) {
        unit.setup.json_mode = 1;
        print_debug(2, "Found a jsonlog log%s\n", "");
    }
    unit.provider.format_known = true;
    return true;
}

// How long an item waits for the items of statements that began before it
// but ended after it, by the entry times read since.  A statement that ran
// longer than this is handed on late, out of start order (with a warning).
// Ten seconds covers the statements of a transactional workload with a
// wide margin, while what it holds stays bounded: a busy server logs
// perhaps 10000 statements a second, some megabytes in ten seconds.
constexpr int64_t reorder_window_us = 10 * 1000000;
// The most the window holds, in bytes of items (their strings and records).
// Beyond it the earliest items are handed on before their time is up, and
// any statement that began before them follows late.
constexpr size_t reorder_window_bytes = 64 * 1024 * 1024;

// Most of the time every session is busy and the window need not wait that
// long: once every open session has written an entry after an item's start
// (less the millisecond time stamps are cut to), nothing they do next can
// have begun before it.  Only a session not seen yet could still bring a
// statement that began earlier, so the item waits this long at least.
constexpr int64_t unseen_session_wait_us = 200000;
constexpr int64_t time_stamp_cut_us = 1000;
// How often, in log time, the sessions are looked over for that.
constexpr int64_t session_floor_interval_us = 10000;

bool every_session_has_moved_on(provider_state &state, int64_t key_us) {
    if (state.newest_entry_us - key_us <= unseen_session_wait_us) return false;
    if (key_us < state.session_floor_us) return true;
    if (state.session_floor_at != INT64_MIN &&
        state.newest_entry_us - state.session_floor_at < session_floor_interval_us)
        return false;
    int64_t earliest = earliest_session_entry_us();
    state.session_floor_us = earliest == INT64_MAX ? earliest : earliest - time_stamp_cut_us;
    state.session_floor_at = state.newest_entry_us;
    return key_us < state.session_floor_us;
}

bool may_hand_on(provider_state &state) {
    const reorder_window &window = state.window;
    int64_t key_us = earliest_held(window).key_us;
    return state.input_ended || window.held_bytes > reorder_window_bytes ||
           state.newest_entry_us - key_us > reorder_window_us ||
           every_session_has_moved_on(state, key_us);
}

// Holds the items of the entry read last (the first, then the queue).
// False after a reported error; all of them are freed then.
bool hold_entry_items(parse_state &unit, replay_item *first) {
    provider_state &state = unit.provider;
    replay_item *items[3] = {first, state.queue[0].release(), state.queue[1].release()};
    for (size_t i = 0; i < 3; ++i) {
        replay_item *item = items[i];
        if (item == nullptr) continue;
        int64_t key = time_in_microseconds(*replay_get_time(item));
        bool late = key < state.last_handed_us;
        if (late) {
            if (!state.warned_late) {
                print_error("Warning: the statement in line %lu is replayed after statements "
                            "that began later: it ran longer than the reordering window of %d "
                            "seconds (%.1f seconds for the first statement of a session not "
                            "seen before), or the window was full (%d MB)\n",
                            unit.entry_line, static_cast<int>(reorder_window_us / 1000000),
                            static_cast<double>(unseen_session_wait_us) / 1e6,
                            static_cast<int>(reorder_window_bytes >> 20));
                state.warned_late = true;
            }
            // It goes next, as it is; the items of its session after it
            // follow it the same way.
            key = state.last_handed_us;
        }
        replay_type type = replay_get_type(item);
        bool awaits = !late && state.entry_awaits_duration && state.entry_session != nullptr &&
                      (type == pg_execute || type == pg_exec_prepared);
        held_record *record = hold_item(state.window, item, key, awaits);
        if (record == nullptr) {
            for (size_t j = i + 1; j < 3; ++j)
                if (items[j] != nullptr) replay_free(items[j]);
            return false;
        }
        if (awaits) state.entry_session->awaiting_duration = &record->recorded_duration;
    }
    return true;
}

// Null after a reported allocation failure.
replay_item *hand_on_earliest(provider_state &state) {
    const held_item &earliest = earliest_held(state.window);
    if (earliest.key_us > state.last_handed_us) state.last_handed_us = earliest.key_us;
    if (earliest.awaiting_duration) {
        held_record *record = earliest.record;
        connection_entry *session = find_connection(record->session_id);
        if (session != nullptr && session->awaiting_duration == &record->recorded_duration)
            session->awaiting_duration = nullptr;
    }
    return release_earliest(state.window);
}

// Items in the order in which their statements began; after the input
// the disconnects of the sessions still open, as in log order.
replay_item *next_in_start_order(parse_state &unit) {
    provider_state &state = unit.provider;
    for (;;) {
        if (!window_is_empty(state.window) && may_hand_on(state)) return hand_on_earliest(state);
        if (state.input_ended) return close_next_session(state);
        replay_item *item = next_event_item(unit);
        if (item == nullptr) return nullptr;
        if (item != end_item && !hold_entry_items(unit, item)) return nullptr;
    }
}

replay_item *provide(parse_state &unit) {
    provider_state &state = unit.provider;
    if (state.queue[0] != nullptr) {
        print_debug(2, "Queue is not empty, returning top element%s\n", "");
        return pop_queue(state);
    }
    if (!state.format_known && !detect_log_format(unit)) return nullptr;
    if (state.reordering) return next_in_start_order(unit);
    if (!state.input_ended) {
        replay_item *item = next_event_item(unit);
        if (item == nullptr) return nullptr;
        // The entry that made this item was read after a duration entry.
        if (state.reordering) {
            if (item != end_item && !hold_entry_items(unit, item)) return nullptr;
            return next_in_start_order(unit);
        }
        if (item != end_item) return item;
    }
    return close_next_session(state);
}

}  // namespace

replay_item *parse_provider() {
    trace_enter("parse_provider");
    replay_item *item = provide(parse_unit_state());
    if (item == nullptr) return nullptr;
    if (item != end_item) replay_print_debug(item);
    trace_leave("parse_provider");
    return item;
}

void parse_provider_finish() {
    trace_enter("parse_provider_finish");
    parse_state &state = parse_unit_state();
    if (state.setup.input_fd != 0 && close(state.setup.input_fd) != 0)
        perror("Error closing input file:");
    print_parse_statistics(state.statistics, state.reader.line_number);
    clear_queue(state.provider);
    release_window(state.provider.window);
    release_connections(state.connection_hash);
    trace_leave("parse_provider_finish");
}
