#include "quillrun/replay_item.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quillrun/alloc.h"
#include "quillrun/messages.h"
#include "quillrun/settings.h"

// Precondition checks stay in release builds: a wrong accessor is a
// programming error that must not turn into reading the wrong string.
#define REPLAY_REQUIRE(condition)                                                         \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "replayitem: %s: Assertion `%s' failed.\n", __func__, #condition); \
            fflush(stderr);                                                               \
            abort();                                                                      \
        }                                                                                 \
    } while (0)

namespace {

replay_item end_item_record = {{0, 0}, 0, static_cast<replay_type>(-1), 0, nullptr,
                               no_recorded_duration};

// Frees whatever a partly or fully built item holds.  data entries are
// zero-filled at allocation, so entries not yet copied are null.
void release_item(replay_item *r) {
    if (r->data != nullptr) {
        for (unsigned i = r->count; i-- > 0;) qr_free(r->data[i]);
        qr_free(r->data);
    }
    qr_free(r);
}

// Allocates the record alone; data stays null until an array is attached.
replay_item *new_record(const struct timeval *time, uint64_t session_id, replay_type type,
                        uint16_t count) {
    auto *r = static_cast<replay_item *>(qr_malloc(sizeof(replay_item)));
    if (r == nullptr) {
        print_alloc_error(sizeof(replay_item));
        return nullptr;
    }
    r->time = *time;
    r->session_id = session_id;
    r->type = type;
    r->count = count;
    r->data = nullptr;
    r->recorded_duration = no_recorded_duration;
    return r;
}

// Allocates the record and, for a count other than 0, an array of nulls.
replay_item *new_replay_item(const struct timeval *time, uint64_t session_id, replay_type type,
                             uint16_t count) {
    replay_item *r = new_record(time, session_id, type, count);
    if (r == nullptr || count == 0) return r;
    // Not qr_calloc: glibc's calloc bypasses its per-thread cache of small
    // blocks, which makes it several times dearer than malloc.
    r->data = static_cast<char **>(qr_malloc(count * sizeof(char *)));
    if (r->data == nullptr) {
        print_alloc_error(count * sizeof(char *));
        qr_free(r);
        return nullptr;
    }
    std::fill_n(r->data, count, nullptr);
    return r;
}

// Copies text into data[index]; on failure reports the size and releases
// the whole item.
bool copy_into(replay_item *r, unsigned index, const char *text) {
    r->data[index] = qr_strdup(text);
    if (r->data[index] != nullptr) return true;
    print_alloc_error(strlen(text) + 1);
    release_item(r);
    return false;
}

replay_item *create_with_strings(const char *trace_name, const struct timeval *time,
                                 uint64_t session_id, replay_type type, const char *first,
                                 const char *second) {
    trace_enter(trace_name);
    uint16_t count = second == nullptr ? 1 : 2;
    replay_item *r = new_replay_item(time, session_id, type, count);
    if (r == nullptr) return nullptr;
    if (!copy_into(r, 0, first)) return nullptr;
    if (second != nullptr && !copy_into(r, 1, second)) return nullptr;
    trace_leave(trace_name);
    return r;
}

replay_item *create_without_strings(const char *trace_name, const struct timeval *time,
                                    uint64_t session_id, replay_type type) {
    trace_enter(trace_name);
    replay_item *r = new_replay_item(time, session_id, type, 0);
    if (r == nullptr) return nullptr;
    trace_leave(trace_name);
    return r;
}

// Builds an item around strings the caller hands over; they are freed if
// the item cannot be made.
replay_item *take_strings(const char *trace_name, const struct timeval *time,
                          uint64_t session_id, replay_type type, char *first, char *second) {
    trace_enter(trace_name);
    uint16_t count = second == nullptr ? 1 : 2;
    replay_item *r = new_replay_item(time, session_id, type, count);
    if (r == nullptr) {
        qr_free(first);
        qr_free(second);
        return nullptr;
    }
    r->data[0] = first;
    if (second != nullptr) r->data[1] = second;
    trace_leave(trace_name);
    return r;
}

void free_values(uint16_t count, char **values) {
    if (values == nullptr) return;
    for (unsigned i = 0; i < count; ++i) qr_free(values[i]);
    qr_free(values);
}

// An item's data array: the name in front of the values.  The values'
// array is freed.  Null on failure, with values left as they were.
char **put_name_before_values(char *name, char **values, uint16_t value_count) {
    size_t size = (value_count + 1u) * sizeof(char *);
    auto *data = static_cast<char **>(qr_malloc(size));
    if (data == nullptr) {
        print_alloc_error(size);
        return nullptr;
    }
    data[0] = name;
    if (value_count != 0) memcpy(data + 1, values, value_count * sizeof(char *));
    qr_free(values);
    return data;
}

bool too_many_values(uint16_t value_count) {
    if (value_count <= max_exec_values) return false;
    print_error("Error: a prepared statement execution cannot have more than %u values\n",
                max_exec_values);
    return true;
}

const char *type_name(replay_type type) {
    switch (type) {
        case pg_connect: return "connect";
        case pg_disconnect: return "disconnect";
        case pg_execute: return "execute";
        case pg_prepare: return "prepare";
        case pg_exec_prepared: return "exec_prepared";
        case pg_cancel: return "cancel";
    }
    return "unknown";
}

void print_value_line(int number, const char *value) {
    if (value == nullptr) {
        print_error("      $%d         = %s\n", number, "(null)");
        return;
    }
    // Long values are cut to 100 characters and marked with "...".
    char shown[104];
    size_t length = strnlen(value, 100);
    memcpy(shown, value, length);
    strcpy(shown + length, length == 100 ? "..." : "");
    print_error("      $%d         = %s\n", number, shown);
}

}  // namespace

replay_item *const end_item = &end_item_record;

replay_item *replay_create_connect(const struct timeval *time, uint64_t session_id,
                                   const char *user, const char *database) {
    return create_with_strings("replay_create_connect", time, session_id, pg_connect, user,
                               database);
}

replay_item *replay_create_disconnect(const struct timeval *time, uint64_t session_id) {
    return create_without_strings("replay_create_disconnect", time, session_id, pg_disconnect);
}

replay_item *replay_create_execute(const struct timeval *time, uint64_t session_id,
                                   const char *statement) {
    return create_with_strings("replay_create_execute", time, session_id, pg_execute, statement,
                               nullptr);
}

replay_item *replay_create_prepare(const struct timeval *time, uint64_t session_id,
                                   const char *name, const char *statement) {
    return create_with_strings("replay_create_prepare", time, session_id, pg_prepare, statement,
                               name);
}

replay_item *replay_create_exec_prepared(const struct timeval *time, uint64_t session_id,
                                         const char *name, uint16_t value_count,
                                         const char *const *values) {
    trace_enter("replay_create_exec_prepared");
    if (too_many_values(value_count)) return nullptr;
    replay_item *r = new_replay_item(time, session_id, pg_exec_prepared,
                                     static_cast<uint16_t>(value_count + 1));
    if (r == nullptr) return nullptr;
    if (!copy_into(r, 0, name)) return nullptr;
    for (unsigned i = 1; i <= value_count; ++i) {
        if (values[i - 1] != nullptr && !copy_into(r, i, values[i - 1])) return nullptr;
    }
    trace_leave("replay_create_exec_prepared");
    return r;
}

replay_item *replay_create_cancel(const struct timeval *time, uint64_t session_id) {
    return create_without_strings("replay_create_cancel", time, session_id, pg_cancel);
}

replay_item *replay_take_connect(const struct timeval *time, uint64_t session_id, char *user,
                                 char *database) {
    return take_strings("replay_create_connect", time, session_id, pg_connect, user, database);
}

replay_item *replay_take_execute(const struct timeval *time, uint64_t session_id,
                                 char *statement) {
    return take_strings("replay_create_execute", time, session_id, pg_execute, statement,
                        nullptr);
}

replay_item *replay_take_prepare(const struct timeval *time, uint64_t session_id, char *name,
                                 char *statement) {
    return take_strings("replay_create_prepare", time, session_id, pg_prepare, statement, name);
}

replay_item *replay_take_exec_prepared(const struct timeval *time, uint64_t session_id,
                                       char *name, uint16_t value_count, char **values) {
    trace_enter("replay_create_exec_prepared");
    replay_item *r = nullptr;
    if (!too_many_values(value_count)) {
        r = new_record(time, session_id, pg_exec_prepared,
                       static_cast<uint16_t>(value_count + 1));
    }
    char **data = r == nullptr ? nullptr : put_name_before_values(name, values, value_count);
    if (data == nullptr) {
        qr_free(r);
        qr_free(name);
        free_values(value_count, values);
        return nullptr;
    }
    r->data = data;
    trace_leave("replay_create_exec_prepared");
    return r;
}

void replay_free(replay_item *r) {
    trace_enter("replay_free");
    REPLAY_REQUIRE((pg_connect == r->type) || (pg_disconnect == r->type) ||
                   (pg_execute == r->type) || (pg_prepare == r->type) ||
                   (pg_exec_prepared == r->type) || (pg_cancel == r->type));
    release_item(r);
    trace_leave("replay_free");
}

const char *replay_get_statement(const replay_item *r) {
    REPLAY_REQUIRE((pg_execute == r->type) || (pg_prepare == r->type));
    return r->data[0];
}

const char *replay_get_name(const replay_item *r) {
    REPLAY_REQUIRE((pg_prepare == r->type) || (pg_exec_prepared == r->type));
    return r->type == pg_prepare ? r->data[1] : r->data[0];
}

const char *replay_get_user(const replay_item *r) {
    REPLAY_REQUIRE(pg_connect == r->type);
    return r->data[0];
}

const char *replay_get_database(const replay_item *r) {
    REPLAY_REQUIRE(pg_connect == r->type);
    return r->data[1];
}

int replay_get_valuecount(const replay_item *r) {
    REPLAY_REQUIRE(pg_exec_prepared == r->type);
    return r->count - 1;
}

const char *const *replay_get_values(const replay_item *r) {
    REPLAY_REQUIRE(pg_exec_prepared == r->type);
    return r->data + 1;
}

void replay_print_debug(const replay_item *r) {
    if (debug_level == 0) return;
    print_error("---------------------------%s\n", "");
    print_error("Item: time       = %lu.%06lu\n", static_cast<unsigned long>(r->time.tv_sec),
                static_cast<unsigned long>(r->time.tv_usec));
    print_error("      session id = 0x%lx\n", static_cast<unsigned long>(r->session_id));
    print_error("      type       = %s\n", type_name(r->type));
    switch (r->type) {
        case pg_connect:
            print_error("      user       = %s\n", r->data[0]);
            print_error("      database   = %s\n", r->data[1]);
            break;
        case pg_execute:
            print_error("      statement  = %s\n", r->data[0]);
            break;
        case pg_prepare:
            print_error("      name       = %s\n", r->data[1]);
            print_error("      statement  = %s\n", r->data[0]);
            break;
        case pg_exec_prepared:
            print_error("      name       = %s\n", r->data[0]);
            for (int i = 1; i < r->count; ++i) print_value_line(i, r->data[i]);
            break;
        default:
            break;
    }
    print_error("---------------------------%s\n", "");
}
