#include "prefix_sessions.h"

#include <cstdlib>
#include <cstring>

#include "entry_fields.h"
#include "quillrun/alloc.h"
#include "quillrun/messages.h"
#include "text.h"

namespace {

constexpr char connection_received[] = "connection received: ";
constexpr char connection_authorized[] = "connection authorized: ";
constexpr char disconnection[] = "disconnection: ";

process_session *&bucket_of(process_sessions &sessions, uint64_t key) {
    return sessions.buckets[key % process_buckets];
}

process_session *find_session(process_sessions &sessions, uint64_t key) {
    for (process_session *s = bucket_of(sessions, key); s != nullptr; s = s->next)
        if (s->key == key) return s;
    return nullptr;
}

void forget_session(process_sessions &sessions, uint64_t key) {
    for (process_session **link = &bucket_of(sessions, key); *link != nullptr;
         link = &(*link)->next) {
        if ((*link)->key == key) {
            process_session *gone = *link;
            *link = gone->next;
            qr_free(gone);
            return;
        }
    }
}

// A new session of the key: the %c id itself, or a number of its own and
// the process id.
void begin_session(const line_prefix &prefix, process_sessions &sessions, process_session &s) {
    if (prefix.has_session_id) {
        s.session_id = s.key;
    } else {
        ++sessions.sessions_started;
        s.session_id = static_cast<uint64_t>(sessions.sessions_started) << 32 | (s.key & 0xffffffff);
    }
    s.awaiting_authorization = false;
    s.user[0] = '\0';
    s.database[0] = '\0';
}

process_session *add_session(const line_prefix &prefix, process_sessions &sessions,
                             uint64_t key) {
    auto *s = static_cast<process_session *>(qr_malloc(sizeof(process_session)));
    if (s == nullptr) {
        print_alloc_error(sizeof(process_session));
        return nullptr;
    }
    s->key = key;
    begin_session(prefix, sessions, *s);
    s->next = bucket_of(sessions, key);
    bucket_of(sessions, key) = s;
    return s;
}

// The value of "user=" or "database=" in a "connection authorized"
// message: up to the next of the words the server writes after it.  A
// name with one of these words in it is cut there.
const char *value_end(const char *value) {
    const char *const following[] = {" database=", " application_name=", " SSL enabled (",
                                     " GSS ("};
    const char *end = value + strlen(value);
    for (const char *word : following) {
        const char *found = strstr(value, word);
        if (found != nullptr && found < end) end = found;
    }
    return end;
}

bool take_authorized_names(const line_prefix &prefix, const char *message, process_session &s) {
    const char *words = message + strlen(connection_authorized);
    if (!prefix.has_user && starts_with(words, "user=")) {
        const char *value = words + strlen("user=");
        const char *end = value_end(value);
        if (!copy_user_name(value, static_cast<size_t>(end - value), s.user)) return false;
    }
    const char *database = strstr(words, " database=");
    if (!prefix.has_database && database != nullptr) {
        const char *value = database + strlen(" database=");
        const char *end = value_end(value);
        if (!copy_database_name(value, static_cast<size_t>(end - value), s.database))
            return false;
    }
    return true;
}

}  // namespace

bool attribute_prefixed_entry(const line_prefix &prefix, process_sessions &sessions, uint64_t key,
                              log_type type, const char *message, uint64_t *session_id,
                              char *user, char *database) {
    if (prefix.has_session_id && prefix.has_user && prefix.has_database) {
        *session_id = key;
        return true;
    }
    bool received = type == log_log && starts_with(message, connection_received);
    bool authorized = type == log_log && starts_with(message, connection_authorized);
    process_session *s = find_session(sessions, key);
    // A process's first entry is its "connection received"; an earlier
    // entry of the same process id was another process's.
    if (s != nullptr && !prefix.has_session_id &&
        (received || (authorized && !s->awaiting_authorization)))
        begin_session(prefix, sessions, *s);
    if (s == nullptr) {
        s = add_session(prefix, sessions, key);
        if (s == nullptr) return false;
    }
    if (received) s->awaiting_authorization = true;
    if (authorized) {
        s->awaiting_authorization = false;
        if (!take_authorized_names(prefix, message, *s)) return false;
    }
    *session_id = s->session_id;
    if (!prefix.has_user) memcpy(user, s->user, strlen(s->user) + 1);
    if (!prefix.has_database) memcpy(database, s->database, strlen(s->database) + 1);
    if (type == log_log && starts_with(message, disconnection)) forget_session(sessions, key);
    return true;
}

void release_process_sessions(process_sessions &sessions) {
    for (process_session *&head : sessions.buckets) {
        while (head != nullptr) {
            process_session *gone = head;
            head = gone->next;
            qr_free(gone);
        }
    }
    sessions.sessions_started = 0;
}
