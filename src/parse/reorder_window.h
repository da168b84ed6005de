// Items held back so that they leave the provider in the order in which
// their statements began, although a log with duration entries has them in
// the order in which the statements ended.  Kept sorted by (start time,
// arrival number), so ties keep log order.  Items arrive almost sorted: one
// is overtaken only by the statements that ended while it ran, a handful
// per busy session; so each finds its place a few steps from the newest
// end of a plain array, which beats a heap's scattered accesses.
//
// The items themselves are held as records in large chunks of memory and
// made again when they are handed on: a window holds seconds of workload,
// and as separate allocations items freed seconds after they were made
// would keep the allocator busy sorting and merging blocks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quillrun/replay_item.h"

struct held_chunk;

// An item as a record in a chunk: the fields, then each string as its
// length (null_string for a null value) and its bytes with the NUL.
struct held_record {
    held_chunk *chunk;
    struct timeval time;
    uint64_t session_id;
    int64_t recorded_duration;  // a bare duration entry may still set it
    replay_type type;
    uint16_t count;
};

struct held_item {
    held_record *record;
    int64_t key_us;     // the time the item is ordered by, in microseconds
    uint64_t sequence;  // arrival number
    size_t bytes;       // what the item holds, counted against the bound
    // A bare duration entry of the session may still set the item's
    // recorded duration.
    bool awaiting_duration;
};

// Emptied chunks kept for the next ones: chunks come straight from the
// system, and fresh pages cost a fault each.
constexpr size_t reorder_spare_chunks = 4;

struct reorder_window {
    held_chunk *chunk = nullptr;  // where new records go
    held_chunk *spares[reorder_spare_chunks] = {};  // emptied chunks for reuse
    size_t spare_count = 0;
    const char **values = nullptr;  // for remaking execution items
    size_t values_capacity = 0;
    held_item *slots = nullptr;  // qr_* allocated; the items are slots[first..last)
    size_t first = 0;
    size_t last = 0;
    size_t capacity = 0;
    uint64_t next_sequence = 0;
    size_t held_bytes = 0;
};

int64_t time_in_microseconds(const struct timeval &time);

// Takes the item over (and frees it); returns its record, or null after a
// reported allocation failure.
held_record *hold_item(reorder_window &window, replay_item *item, int64_t key_us,
                       bool awaiting_duration);

inline bool window_is_empty(const reorder_window &window) { return window.first == window.last; }

// The earliest held item; the window must not be empty.
inline const held_item &earliest_held(const reorder_window &window) {
    return window.slots[window.first];
}

// Removes the earliest held item and makes it again (its record is gone
// then).  Null after a reported allocation failure.
replay_item *release_earliest(reorder_window &window);

// Frees every held item and the array.
void release_window(reorder_window &window);
