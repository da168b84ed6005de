// The report's bookkeeping: statement groups, error groups and the
// sessions' requests between their noting and their completion.
#include "quillrun/report.h"

#include <unistd.h>

#include <deque>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

#include "quillrun/messages.h"
#include "report/report_state.h"
#include "report/shape_key.h"
#include "report/statement_shape.h"

// A request of a session, from its noting to its completion.
struct pending_request {
    uint32_t group;
    replay_type type;
};

struct report_session {
    uint64_t session_id = 0;
    // Prepared statement names, as noted: the group of each.
    std::unordered_map<std::string, uint32_t> statements;
    // Requests noted but not yet sent (replays only), in the session's order.
    std::deque<pending_request> pending;
    // Prepares that failed, as completed: the name and the prepare's error,
    // which its executions report in place of their own.
    std::unordered_map<std::string, std::pair<std::string, std::string>> failed_prepares;
    // The request in flight.
    bool in_flight = false;
    pending_request current{no_group, pg_execute};
    std::string current_name;  // of a prepare
    bool current_failed = false;
    std::string current_sqlstate;
    std::string current_message;
    bool closing = false;  // its disconnect is noted; gone once nothing is pending
};

namespace {

report_state state;

constexpr size_t max_error_groups = 10000;
// The texts kept for reuse, in bytes with a rough allowance for the map's
// own share of each entry; texts longer than a tenth of it are not kept.
constexpr size_t text_cache_limit = 4 << 20;
constexpr size_t text_cache_entry_overhead = 64;

template <typename container>
void release_all(container &held) {
    container().swap(held);
}

// Out of memory: the report cannot be complete, so it is given up rather
// than written with silent gaps.  The replay goes on.
void give_up() {
    print_error("Error: not enough memory for the report; it will not be written\n");
    state.broken = true;
    release_all(state.groups);
    release_all(state.group_index);
    for (text_map &known : state.known_texts.shapes) release_all(known);
    for (text_map &known : state.known_texts.texts) release_all(known);
    release_all(state.error_groups);
    release_all(state.error_index);
    release_all(state.sessions);
}

bool keeping() { return state.active && !state.broken; }

uint32_t add_group(const group_key &key, std::string text, std::string parse_error) {
    auto found = state.group_index.find(key);
    if (found != state.group_index.end()) return found->second;
    auto index = static_cast<uint32_t>(state.groups.size());
    statement_group group;
    group.key = key;
    group.text = std::move(text);
    group.parse_error = std::move(parse_error);
    state.groups.push_back(std::move(group));
    state.group_index.emplace(key, index);
    return index;
}

void remember(text_map &known, std::string_view text, uint32_t group) {
    size_t cost = text.size() + text_cache_entry_overhead;
    if (text.size() > text_cache_limit / 10 || state.known_texts.bytes + cost > text_cache_limit)
        return;
    known.emplace(text, group);
    state.known_texts.bytes += cost;
}

uint32_t group_of_text(group_kind kind, const char *text) {
    text_cache &cache = state.known_texts;
    int by_kind = static_cast<int>(kind);
    bool shaped = report_shape_key(text, &cache.scratch);
    text_map &known = shaped ? cache.shapes[by_kind] : cache.texts[by_kind];
    std::string_view key = shaped ? std::string_view(cache.scratch) : std::string_view(text);
    auto seen = known.find(key);
    if (seen != known.end()) return seen->second;
    statement_shape shape = report_statement_shape(text);
    group_key group_key_of_text{shape.hash, kind, shape.parsed};
    auto found = state.group_index.find(group_key_of_text);
    uint32_t group =
        found != state.group_index.end()
            ? found->second
            : add_group(group_key_of_text,
                        shape.parsed ? report_normalised_text(text) : std::string(text),
                        std::move(shape.parse_error));
    // A text the parser rejects is a group by itself, which its shape must
    // not lend to other texts.
    if (shape.parsed || !shaped) remember(known, key, group);
    return group;
}

// An execution of a name the session never prepared (a replay file may
// hold one): a group per name, since there is no text to fingerprint.
uint32_t group_of_unknown_name(const char *name) {
    std::string text = std::string("(statement \"") + name + "\" prepared before the recording)";
    group_key key{report_text_hash(text.c_str()), group_kind::prepared, false};
    return add_group(key, text, "");
}

uint32_t error_group_of(const std::string &sqlstate, const std::string &message) {
    std::string key = sqlstate + '\0' + message;
    auto found = state.error_index.find(key);
    if (found != state.error_index.end()) return found->second;
    if (state.error_groups.size() >= max_error_groups && message != too_many_messages)
        return error_group_of(sqlstate, too_many_messages);
    auto index = static_cast<uint32_t>(state.error_groups.size());
    state.error_groups.push_back(error_group{sqlstate, message, 0, {}});
    state.error_index.emplace(std::move(key), index);
    return index;
}

report_session &session_of(uint64_t session_id) {
    std::unique_ptr<report_session> &session = state.sessions[session_id];
    if (session == nullptr) {
        session = std::make_unique<report_session>();
        session->session_id = session_id;
    }
    return *session;
}

report_session *find_session(uint64_t session_id) {
    auto found = state.sessions.find(session_id);
    return found == state.sessions.end() ? nullptr : found->second.get();
}

// Once a session's disconnect is noted and its last request completed, it
// is forgotten.  Its pointer may stay with its connection record until the
// record's next request gets a fresh one, so that is safe.
void forget_session_when_done(report_session &session) {
    if (session.closing && !session.in_flight && session.pending.empty())
        state.sessions.erase(session.session_id);
}

void note_statement(const replay_item *item, report_session &session, uint32_t group) {
    replay_type type = replay_get_type(item);
    int64_t recorded = replay_get_recorded_duration(item);
    if (recorded != no_recorded_duration)
        report_histogram_add(state.groups[group].recorded, recorded);
    if (!state.run.dry_run) {
        session.pending.push_back({group, type});
    } else if (type == pg_prepare) {
        ++state.groups[group].prepares;
    } else {
        ++state.groups[group].calls;
    }
}

void note(const replay_item *item) {
    ++state.items;
    report_digest_add(state.digest, item);
    uint64_t session_id = replay_get_session_id(item);
    switch (replay_get_type(item)) {
        case pg_connect: session_of(session_id).closing = false; break;
        case pg_disconnect:
            if (report_session *session = find_session(session_id)) {
                session->closing = true;
                forget_session_when_done(*session);
            }
            break;
        case pg_execute:
            note_statement(item, session_of(session_id),
                           group_of_text(group_kind::simple, replay_get_statement(item)));
            break;
        case pg_prepare: {
            report_session &session = session_of(session_id);
            uint32_t group = group_of_text(group_kind::prepared, replay_get_statement(item));
            session.statements[replay_get_name(item)] = group;
            note_statement(item, session, group);
            break;
        }
        case pg_exec_prepared: {
            report_session &session = session_of(session_id);
            const char *name = replay_get_name(item);
            auto found = session.statements.find(name);
            uint32_t group =
                found != session.statements.end() ? found->second : group_of_unknown_name(name);
            note_statement(item, session, group);
            break;
        }
        case pg_cancel: break;
    }
}

const char *field_or_empty(const PGresult *result, int field) {
    const char *text = PQresultErrorField(result, field);
    return text != nullptr ? text : "";
}

void complete(report_session &session, int64_t duration_microseconds) {
    session.in_flight = false;
    statement_group &group = state.groups[session.current.group];
    if (session.current.type == pg_prepare) {
        ++group.prepares;
        if (session.current_failed) {
            ++group.prepare_errors;
            session.failed_prepares[session.current_name] = {session.current_sqlstate,
                                                             session.current_message};
        } else if (!session.failed_prepares.empty()) {
            session.failed_prepares.erase(session.current_name);
        }
        return;
    }
    ++group.calls;
    report_histogram_add(group.durations, duration_microseconds);
    if (!session.current_failed) return;
    ++group.errors;
    error_group &errors =
        state.error_groups[error_group_of(session.current_sqlstate, session.current_message)];
    ++errors.count;
    errors.statements.insert(session.current.group);
}

}  // namespace

report_state &report_current_state() { return state; }

void report_release() {
    if (state.temp_fd >= 0) close(state.temp_fd);
    if (!state.temp_path.empty()) unlink(state.temp_path.c_str());
    report_digest_release(state.digest);
    state = report_state{};
}

void report_configure(const report_run &run) {
    report_release();
    state.run = run;
}

void report_note_item(const replay_item *item) {
    if (!keeping()) return;
    try {
        note(item);
    } catch (const std::bad_alloc &) {
        give_up();
    }
}

void report_note_server(const PGconn *connection) {
    if (!keeping() || !state.server_version.empty()) return;
    try {
        const char *version = PQparameterStatus(connection, "server_version");
        if (version != nullptr) state.server_version = version;
        state.server_version_num = PQserverVersion(connection);
    } catch (const std::bad_alloc &) {
        give_up();
    }
}

report_session *report_request_sent(const replay_item *item) {
    if (!keeping()) return nullptr;
    report_session *session = find_session(replay_get_session_id(item));
    // Every sent request was noted; without a noted one there is nothing
    // to count it under.
    if (session == nullptr || session->pending.empty()) return nullptr;
    try {
        session->current = session->pending.front();
        session->pending.pop_front();
        session->in_flight = true;
        session->current_failed = false;
        replay_type type = replay_get_type(item);
        if (type == pg_prepare) session->current_name = replay_get_name(item);
        if (type == pg_exec_prepared && !session->failed_prepares.empty()) {
            auto failed = session->failed_prepares.find(replay_get_name(item));
            if (failed != session->failed_prepares.end()) {
                // Counted as failed with the prepare's error whatever the
                // server answers for the execution.
                session->current_failed = true;
                session->current_sqlstate = failed->second.first;
                session->current_message = failed->second.second;
            }
        }
    } catch (const std::bad_alloc &) {
        give_up();
        return nullptr;
    }
    return session;
}

void report_request_error(report_session *session, const PGresult *result) {
    if (session == nullptr || !keeping() || !session->in_flight || session->current_failed) return;
    try {
        session->current_failed = true;
        session->current_sqlstate = field_or_empty(result, PG_DIAG_SQLSTATE);
        session->current_message = field_or_empty(result, PG_DIAG_MESSAGE_PRIMARY);
        // An error of the connection rather than of the statement has no
        // fields; its text is all there is.
        if (session->current_message.empty()) {
            session->current_message = PQresultErrorMessage(result);
            while (!session->current_message.empty() && session->current_message.back() == '\n')
                session->current_message.pop_back();
        }
    } catch (const std::bad_alloc &) {
        give_up();
    }
}

void report_request_done(report_session *session, int64_t duration_microseconds) {
    if (session == nullptr || !keeping() || !session->in_flight) return;
    try {
        complete(*session, duration_microseconds);
        forget_session_when_done(*session);
    } catch (const std::bad_alloc &) {
        give_up();
    }
}
