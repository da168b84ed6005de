#include "parse_provider.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "csvlog_entry.h"
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
    enum { skip, ignore_fastpath, ignore_copy, event } action = skip;
    replay_type type = pg_connect;
    char *statement = nullptr;  // execute: the text; exec_prepared: the statement
    const char *name = nullptr;  // exec_prepared: the statement name, "" for the unnamed one
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
            print_debug(2, "Prepared statement execution found%s\n", "");
            kind.action = entry_kind::event;
            kind.type = pg_exec_prepared;
            if (!split_execution(message + strlen("execute "), kind)) return false;
            // A COPY has no data in the log, through either protocol.
            if (is_copy_statement(kind.statement)) kind.action = entry_kind::ignore_copy;
            return true;
        } else if (starts_with(message, "fastpath function call: ")) {
            kind.action = entry_kind::ignore_fastpath;
        }
    }
    return true;
}

// The prepare (when the session needs one) and the execution with its bind
// values.  False after a reported error.
bool queue_execution(provider_state &state, const log_entry &entry, const entry_kind &kind,
                     connection_entry *session) {
    pstmt_status status = add_pstmt(session, kind.name);
    if (status == pstmt_status::error) return false;
    if (status == pstmt_status::prepare_needed) {
        state.queue[0].reset(
            replay_create_prepare(&entry.time, entry.session_id, kind.name, kind.statement));
        if (state.queue[0] == nullptr) return false;
    }
    item_ptr &slot = state.queue[0] == nullptr ? state.queue[0] : state.queue[1];
    const char *detail = entry.detail;
    if (detail == nullptr) {
        print_debug(2, "Prepared statement \"%s\" has no bind arguments\n", kind.name);
        slot.reset(replay_create_exec_prepared(&entry.time, entry.session_id, kind.name, 0,
                                               nullptr));
        return slot != nullptr;
    }
    if (!starts_with(detail, "parameters: ")) {
        print_error("Error: no parameters for prepared statement at line %lu\n", log_line_number());
        return false;
    }
    print_debug(2, "Reading bind arguments for prepared statement \"%s\"\n", kind.name);
    if (!parse_bind_args(entry.detail + strlen("parameters: "), state.bind_buffer)) return false;
    // parse_bind_args refuses lists that do not fit the item's count.
    slot.reset(replay_create_exec_prepared(&entry.time, entry.session_id, kind.name,
                                           static_cast<uint16_t>(state.bind_buffer.count()),
                                           state.bind_buffer.values()));
    return slot != nullptr;
}

// Fills the queue with the items of a recognised entry; *connect is the
// connect item of a session seen for the first time.  False after a
// reported error.
bool queue_event(parse_state &unit, const log_entry &entry, const entry_kind &kind,
                 item_ptr &connect) {
    provider_state &state = unit.provider;
    connection_entry *session = nullptr;
    replay_item *new_connect = nullptr;
    if (!add_connection(&entry.time, entry.session_id, entry.user, entry.database, &session,
                        &new_connect))
        return false;
    connect.reset(new_connect);
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
            state.queue[0].reset(replay_create_disconnect(&entry.time, entry.session_id));
            if (state.queue[0] == nullptr) return false;
            if (!remove_connection(entry.session_id)) {
                print_error("Error: cannot remove connection %lx from hash table\n",
                            static_cast<unsigned long>(entry.session_id));
                return false;
            }
            return true;
        case pg_execute:
            if (!filter_bad_statements(kind.statement, session)) return false;
            state.queue[0].reset(
                replay_create_execute(&entry.time, entry.session_id, kind.statement));
            return state.queue[0] != nullptr;
        case pg_exec_prepared:
            return queue_execution(state, entry, kind, session);
        case pg_cancel:
            ++unit.statistics.cancel_requests;
            state.queue[0].reset(replay_create_cancel(&entry.time, entry.session_id));
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

void note_entry_time(parse_state &unit, const struct timeval &time) {
    parse_counters &statistics = unit.statistics;
    if (statistics.have_first_time && !unit.provider.warned_time_backwards) {
        long long behind = (static_cast<long long>(statistics.last_time.tv_sec) - time.tv_sec) *
                               1000000 +
                           (statistics.last_time.tv_usec - time.tv_usec);
        if (behind > backwards_tolerance_us) {
            print_error("Warning: time runs backwards by %.3f seconds in line %lu of the log\n",
                        static_cast<double>(behind) / 1e6, unit.entry_line);
            unit.provider.warned_time_backwards = true;
        }
    }
    record_entry_time(statistics, time);
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
            return end_item;
        }
        if (result != 1) return nullptr;
        if (!passes_filters(unit.setup, entry)) continue;

        entry_kind kind;
        if (!classify(entry, kind)) return nullptr;
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
        note_entry_time(unit, state.last_entry_time);
        return item;
    }
}

// After the end of the input: one disconnect per open session, then the end.
replay_item *close_next_session(const provider_state &state) {
    connection_entry *session = first_open_connection();
    if (session == nullptr) {
        print_debug(2, "End-of-file encountered, signal end%s\n", "");
        return end_item;
    }
    uint64_t session_id = session->session_id;
    print_debug(2, "End-of-file encountered, creating disconnect item for session 0x%lx\n",
                static_cast<unsigned long>(session_id));
    replay_item *item = replay_create_disconnect(&state.last_entry_time, session_id);
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

replay_item *provide(parse_state &unit) {
    provider_state &state = unit.provider;
    if (state.queue[0] != nullptr) {
        print_debug(2, "Queue is not empty, returning top element%s\n", "");
        return pop_queue(state);
    }
    if (!state.format_known && !detect_log_format(unit)) return nullptr;
    if (!state.input_ended) {
        replay_item *item = next_event_item(unit);
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
    release_connections(state.connection_hash);
    trace_leave("parse_provider_finish");
}
