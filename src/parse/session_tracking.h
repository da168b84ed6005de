// The sessions open in the log, each with the names of the prepared
// statements it has prepared.  Sessions are hashed by the low byte of their
// id into 256 buckets; chains and name lists run from newest to oldest.
#pragma once

#include <sys/time.h>

#include <cstdint>

#include "quillrun/replay_item.h"

struct pstmt_entry {
    char *name;  // owned, never empty
    pstmt_entry *next;
    // Of the name: most names that differ are told apart by it alone.
    uint32_t name_hash;
};

struct connection_entry {
    uint64_t session_id;
    connection_entry *next;             // same bucket
    pstmt_entry *prepared_statements;   // owned list
    // The time of the session's latest item: a start time estimated from a
    // duration entry is kept from falling before it, so that the session's
    // items stay in log order.
    struct timeval last_item_time = {0, 0};
    // The recorded duration of the statement item, still held by the
    // provider, that a bare "duration: X ms" entry of this session would
    // set.
    int64_t *awaiting_duration = nullptr;
    // The time of the session's latest entry, in microseconds.  Whatever
    // the session does next begins after it (a duration entry is written
    // when its statement ends), give or take the millisecond that time
    // stamps are cut to.
    int64_t last_entry_us = INT64_MIN;
};

constexpr unsigned connection_buckets = 256;

// Owns its entries; an entry owns its name list.
struct connection_table {
    connection_entry *buckets[connection_buckets] = {};
};

// Finds the session or registers it.  On success *entry is the session's
// entry and *connect_item is a new connect item (owned by the caller) when
// the session was added, null when it was known.  False after a reported
// error; nothing is registered then.
bool add_connection(const struct timeval *time, uint64_t session_id, const char *user,
                    const char *database, connection_entry **entry, replay_item **connect_item);

// The open session with this id, or null.
connection_entry *find_connection(uint64_t session_id);

// Forgets the session and its statement names.  False if it was not open.
bool remove_connection(uint64_t session_id);

enum class pstmt_status { prepare_needed, prepare_not_needed, error };

// Notes an execution of the named statement in the session and says whether
// it must be prepared first.  The empty name (the unnamed statement) is never
// listed and always needs a prepare.
pstmt_status add_pstmt(connection_entry *entry, const char *name);
void remove_pstmt(connection_entry *entry, const char *name);
void remove_all_pstmts(connection_entry *entry);

// The earliest last_entry_us of the open sessions; INT64_MAX when none is
// open.
int64_t earliest_session_entry_us();

// The first session in bucket order (newest first within a bucket), or null.
connection_entry *first_open_connection();

// Frees every session with its names.
void release_connections(connection_table &table);
