#include "session_tracking.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "parse_state.h"
#include "quillrun/alloc.h"
#include "quillrun/messages.h"
#include "text.h"

namespace {

connection_entry *&bucket_of(uint64_t session_id) {
    return parse_unit_state().connection_hash.buckets[session_id % connection_buckets];
}

// FNV-1a.
uint32_t hash_name(const char *name) {
    uint32_t hash = 2166136261u;
    for (; *name != '\0'; ++name) hash = (hash ^ static_cast<unsigned char>(*name)) * 16777619u;
    return hash;
}

bool is_named(const pstmt_entry *p, const char *name, uint32_t name_hash) {
    return p->name_hash == name_hash && same_text(p->name, name);
}

bool has_pstmt(const connection_entry *entry, const char *name, uint32_t name_hash) {
    for (const pstmt_entry *p = entry->prepared_statements; p != nullptr; p = p->next)
        if (is_named(p, name, name_hash)) return true;
    return false;
}

// Puts a copy of name at the front of the session's list.  False after a
// reported allocation failure.
bool list_pstmt(connection_entry *entry, const char *name, uint32_t name_hash) {
    auto *p = static_cast<pstmt_entry *>(qr_malloc(sizeof(pstmt_entry)));
    if (p == nullptr) {
        print_alloc_error(sizeof(pstmt_entry));
        return false;
    }
    p->name = qr_strdup(name);
    if (p->name == nullptr) {
        print_alloc_error(strlen(name) + 1);
        free(p);
        return false;
    }
    p->name_hash = name_hash;
    p->next = entry->prepared_statements;
    entry->prepared_statements = p;
    return true;
}

void release_connection(connection_entry *entry) {
    remove_all_pstmts(entry);
    free(entry);
}

}  // namespace

connection_entry *find_connection(uint64_t session_id) {
    for (connection_entry *e = bucket_of(session_id); e != nullptr; e = e->next)
        if (e->session_id == session_id) return e;
    return nullptr;
}

bool add_connection(const struct timeval *time, uint64_t session_id, const char *user,
                    const char *database, connection_entry **entry, replay_item **connect_item) {
    print_debug(3, "Entering add_connection for session 0x%lx\n",
                static_cast<unsigned long>(session_id));
    *connect_item = nullptr;
    *entry = find_connection(session_id);
    if (*entry == nullptr) {
        replay_item *item = replay_create_connect(time, session_id, user, database);
        if (item == nullptr) return false;
        auto *e = static_cast<connection_entry *>(qr_malloc(sizeof(connection_entry)));
        if (e == nullptr) {
            print_alloc_error(sizeof(connection_entry));
            replay_free(item);
            return false;
        }
        e->session_id = session_id;
        e->prepared_statements = nullptr;
        e->last_item_time = *time;
        e->awaiting_duration = nullptr;
        e->next = bucket_of(session_id);
        bucket_of(session_id) = e;
        *entry = e;
        *connect_item = item;
    }
    trace_leave("add_connection");
    return true;
}

bool remove_connection(uint64_t session_id) {
    print_debug(3, "Entering remove_connection for session 0x%lx\n",
                static_cast<unsigned long>(session_id));
    bool found = false;
    for (connection_entry **link = &bucket_of(session_id); *link != nullptr;
         link = &(*link)->next) {
        connection_entry *e = *link;
        if (e->session_id == session_id) {
            *link = e->next;
            release_connection(e);
            found = true;
            break;
        }
    }
    trace_leave("remove_connection");
    return found;
}

pstmt_status add_pstmt(connection_entry *entry, const char *name) {
    print_debug(3, "Entering add_pstmt for statement \"%s\"\n", name);
    parse_counters &statistics = parse_unit_state().statistics;
    if (name[0] == '\0') {
        ++statistics.parametrized_statements;
        trace_leave("add_pstmt");
        return pstmt_status::prepare_needed;
    }
    uint32_t name_hash = hash_name(name);
    if (has_pstmt(entry, name, name_hash)) {
        print_debug(2, "Prepared statement is already in list%s\n", "");
        ++statistics.named_executions;
        trace_leave("add_pstmt");
        return pstmt_status::prepare_not_needed;
    }
    print_debug(2, "Adding prepared statement to list%s\n", "");
    if (!list_pstmt(entry, name, name_hash)) return pstmt_status::error;
    ++statistics.named_statements;
    ++statistics.named_executions;
    trace_leave("add_pstmt");
    return pstmt_status::prepare_needed;
}

void remove_pstmt(connection_entry *entry, const char *name) {
    print_debug(3, "Entering remove_pstmt for statement \"%s\"\n", name);
    bool found = false;
    uint32_t name_hash = hash_name(name);
    for (pstmt_entry **link = &entry->prepared_statements; *link != nullptr;
         link = &(*link)->next) {
        pstmt_entry *p = *link;
        if (is_named(p, name, name_hash)) {
            *link = p->next;
            free(p->name);
            free(p);
            found = true;
            break;
        }
    }
    if (!found) print_debug(2, "Prepared statement not found%s\n", "");
    trace_leave("remove_pstmt");
}

void remove_all_pstmts(connection_entry *entry) {
    trace_enter("remove_all_pstmts");
    while (pstmt_entry *p = entry->prepared_statements) {
        entry->prepared_statements = p->next;
        free(p->name);
        free(p);
    }
    trace_leave("remove_all_pstmts");
}

int64_t earliest_session_entry_us() {
    int64_t earliest = INT64_MAX;
    for (connection_entry *head : parse_unit_state().connection_hash.buckets)
        for (connection_entry *e = head; e != nullptr; e = e->next)
            if (e->last_entry_us < earliest) earliest = e->last_entry_us;
    return earliest;
}

connection_entry *first_open_connection() {
    for (connection_entry *head : parse_unit_state().connection_hash.buckets)
        if (head != nullptr) return head;
    return nullptr;
}

void release_connections(connection_table &table) {
    for (connection_entry *&head : table.buckets) {
        while (connection_entry *e = head) {
            head = e->next;
            release_connection(e);
        }
    }
}
