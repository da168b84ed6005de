// Replay items: one SQL-level event of one recorded session.
//
// Ownership: a constructor returns an item that the caller owns; whoever holds
// an item frees it with replay_free.  An item owns its array and every string
// in it (constructors deep-copy their arguments).  end_item is a sentinel that
// is recognised by its address only and is never freed or dumped.
#pragma once

#include <sys/time.h>

#include <cstdint>

// The numbers are written into replay files and must not change.
enum replay_type : int32_t {
    pg_connect = 0,
    pg_disconnect = 1,
    pg_execute = 2,
    pg_prepare = 3,
    pg_exec_prepared = 4,
    pg_cancel = 5,
};

struct replay_item {
    struct timeval time;  // moment of the event in the recorded workload
    uint64_t session_id;  // same for all items of one recorded session
    replay_type type;
    uint16_t count;       // entries in data
    char **data;          // null when count is 0; see the accessors
    // How long the statement took on the recorded server, in microseconds,
    // when the log says (duration entries); no_recorded_duration otherwise.
    int64_t recorded_duration;
};

constexpr int64_t no_recorded_duration = -1;

// The largest number of values an execution item can hold: count also
// counts the statement name and is 16 bits wide.
constexpr unsigned max_exec_values = 65534;

// Signals the end of the input; compare by address only.
extern replay_item *const end_item;

// Constructors: null after printing "Cannot allocate ..." (or, for more than
// max_exec_values values, a message saying so).
replay_item *replay_create_connect(const struct timeval *time, uint64_t session_id,
                                   const char *user, const char *database);
replay_item *replay_create_disconnect(const struct timeval *time, uint64_t session_id);
replay_item *replay_create_execute(const struct timeval *time, uint64_t session_id,
                                   const char *statement);
// Takes the name first, but stores the statement in data[0].
replay_item *replay_create_prepare(const struct timeval *time, uint64_t session_id,
                                   const char *name, const char *statement);
// values[i] may be null (an SQL NULL).
replay_item *replay_create_exec_prepared(const struct timeval *time, uint64_t session_id,
                                         const char *name, uint16_t value_count,
                                         const char *const *values);
replay_item *replay_create_cancel(const struct timeval *time, uint64_t session_id);

// Constructors for strings that the caller has already allocated with the
// qr_* wrappers, such as the replay file reader's: the item takes them over
// instead of copying them.  They own what they are given from the call on
// and free it when they fail.  Apart from the copies they do not make, they
// behave as the constructors above, down to the trace lines.
replay_item *replay_take_connect(const struct timeval *time, uint64_t session_id, char *user,
                                 char *database);
replay_item *replay_take_execute(const struct timeval *time, uint64_t session_id,
                                 char *statement);
replay_item *replay_take_prepare(const struct timeval *time, uint64_t session_id, char *name,
                                 char *statement);
// values is an array of value_count entries, each null or a string; the
// array is taken over too (it may be null when value_count is 0).
replay_item *replay_take_exec_prepared(const struct timeval *time, uint64_t session_id,
                                       char *name, uint16_t value_count, char **values);

void replay_free(replay_item *r);

// Accessors.  Using one on an item of a type it does not allow is a
// programming error and stops the program.
// The three that every type allows are inline: consumers call them for
// every item.
inline replay_type replay_get_type(const replay_item *r) { return r->type; }
inline uint64_t replay_get_session_id(const replay_item *r) { return r->session_id; }
inline const struct timeval *replay_get_time(const replay_item *r) { return &r->time; }
const char *replay_get_statement(const replay_item *r);  // execute, prepare
const char *replay_get_name(const replay_item *r);       // prepare, exec_prepared
const char *replay_get_user(const replay_item *r);       // connect
const char *replay_get_database(const replay_item *r);   // connect
int replay_get_valuecount(const replay_item *r);         // exec_prepared
const char *const *replay_get_values(const replay_item *r);  // exec_prepared

// The recorded duration of an execute or exec_prepared item (the only
// types that carry one); no_recorded_duration when the log did not say.
inline int64_t replay_get_recorded_duration(const replay_item *r) { return r->recorded_duration; }
inline void replay_set_recorded_duration(replay_item *r, int64_t microseconds) {
    r->recorded_duration = microseconds;
}

// Dumps the item on standard error when debug_level is 1 or more.
void replay_print_debug(const replay_item *r);
