// Items held back so that they leave the provider in the order in which
// their statements began, although a log with duration entries has them in
// the order in which the statements ended.  A min-heap by (start time,
// arrival number): ties keep log order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quillrun/replay_item.h"

struct held_item {
    replay_item *item;
    int64_t key_us;     // the time the item is ordered by, in microseconds
    uint64_t sequence;  // arrival number
    size_t bytes;       // what the item holds, counted against the bound
    // A bare duration entry of the session may still set the item's
    // recorded duration.
    bool awaiting_duration;
};

struct reorder_window {
    held_item *heap = nullptr;  // qr_* allocated
    size_t size = 0;
    size_t capacity = 0;
    uint64_t next_sequence = 0;
    size_t held_bytes = 0;
};

int64_t time_in_microseconds(const struct timeval &time);

// Takes the item over.  False after a reported allocation failure, the item
// then freed.
bool hold_item(reorder_window &window, replay_item *item, int64_t key_us, bool awaiting_duration);

// The earliest held item; the window must not be empty.
inline const held_item &earliest_held(const reorder_window &window) { return window.heap[0]; }

// Removes the earliest held item and hands it over.
held_item release_earliest(reorder_window &window);

// Frees every held item and the heap.
void release_window(reorder_window &window);
