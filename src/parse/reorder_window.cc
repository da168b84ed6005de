#include "reorder_window.h"

#include <sys/time.h>

#include <cstdlib>
#include <cstring>

#include "quillrun/alloc.h"
#include "quillrun/messages.h"

struct held_chunk {
    size_t capacity;  // bytes of records after the header
    size_t used;
    size_t live;      // records not yet handed on
};

namespace {

constexpr size_t chunk_bytes = 1 << 20;
constexpr uint32_t null_string = UINT32_MAX;

bool earlier(const held_item &a, const held_item &b) {
    return a.key_us < b.key_us || (a.key_us == b.key_us && a.sequence < b.sequence);
}

size_t aligned(size_t size) { return (size + 7) & ~static_cast<size_t>(7); }

char *records_of(held_chunk *chunk) { return reinterpret_cast<char *>(chunk + 1); }

size_t record_size(const replay_item *item) {
    size_t size = sizeof(held_record);
    for (unsigned i = 0; i < item->count; ++i)
        size += sizeof(uint32_t) + (item->data[i] != nullptr ? strlen(item->data[i]) + 1 : 0);
    return aligned(size);
}

held_chunk *new_chunk(reorder_window &window, size_t capacity) {
    if (capacity == chunk_bytes && window.spare_count > 0) {
        held_chunk *spare = window.spares[--window.spare_count];
        *spare = {capacity, 0, 0};
        return spare;
    }
    size_t size = sizeof(held_chunk) + capacity;
    auto *chunk = static_cast<held_chunk *>(qr_malloc(size));
    if (chunk == nullptr) {
        print_alloc_error(size);
        return nullptr;
    }
    *chunk = {capacity, 0, 0};
    return chunk;
}

void retire_chunk(reorder_window &window, held_chunk *chunk) {
    if (chunk->capacity == chunk_bytes && window.spare_count < reorder_spare_chunks)
        window.spares[window.spare_count++] = chunk;
    else
        qr_free(chunk);
}

void drop_record(reorder_window &window, held_chunk *chunk) {
    if (--chunk->live != 0) return;
    if (chunk == window.chunk)
        chunk->used = 0;  // empty: start it again
    else
        retire_chunk(window, chunk);
}

// Room for a record of this size; a record too large to share a chunk gets
// one of its own.
held_record *room_for(reorder_window &window, size_t size) {
    if (size > chunk_bytes / 4) {
        held_chunk *own = new_chunk(window, size);
        if (own == nullptr) return nullptr;
        own->used = size;
        ++own->live;
        auto *record = reinterpret_cast<held_record *>(records_of(own));
        record->chunk = own;
        return record;
    }
    if (window.chunk == nullptr || window.chunk->capacity - window.chunk->used < size) {
        held_chunk *fresh = new_chunk(window, chunk_bytes);
        if (fresh == nullptr) return nullptr;
        held_chunk *old = window.chunk;
        window.chunk = fresh;
        if (old != nullptr && old->live == 0) retire_chunk(window, old);
    }
    held_chunk *chunk = window.chunk;
    auto *record = reinterpret_cast<held_record *>(records_of(chunk) + chunk->used);
    chunk->used += size;
    ++chunk->live;
    record->chunk = chunk;
    return record;
}

void write_strings(held_record *record, const replay_item *item) {
    char *at = reinterpret_cast<char *>(record + 1);
    for (unsigned i = 0; i < item->count; ++i) {
        uint32_t length = item->data[i] != nullptr ? static_cast<uint32_t>(strlen(item->data[i]))
                                                   : null_string;
        memcpy(at, &length, sizeof length);
        at += sizeof length;
        if (length != null_string) {
            memcpy(at, item->data[i], length + 1);
            at += length + 1;
        }
    }
}

// Reads the strings of a record into strings[0..count).
void read_strings(const held_record *record, const char **strings) {
    const char *at = reinterpret_cast<const char *>(record + 1);
    for (unsigned i = 0; i < record->count; ++i) {
        uint32_t length;
        memcpy(&length, at, sizeof length);
        at += sizeof length;
        if (length == null_string) {
            strings[i] = nullptr;
        } else {
            strings[i] = at;
            at += length + 1;
        }
    }
}

bool make_room(reorder_window &window) {
    if (window.last < window.capacity) return true;
    // Move the items to the front when at least half of the array lies free
    // before them, else double it.
    if (window.first >= window.capacity / 2 && window.first > 0) {
        size_t held = window.last - window.first;
        memmove(window.slots, window.slots + window.first, held * sizeof(held_item));
        window.first = 0;
        window.last = held;
        return true;
    }
    size_t capacity = window.capacity == 0 ? 256 : window.capacity * 2;
    size_t size = capacity * sizeof(held_item);
    auto *slots = static_cast<held_item *>(qr_realloc(window.slots, size));
    if (slots == nullptr) {
        print_alloc_error(size);
        return false;
    }
    window.slots = slots;
    window.capacity = capacity;
    return true;
}

bool make_value_room(reorder_window &window, size_t count) {
    if (count <= window.values_capacity) return true;
    size_t size = count * sizeof(const char *);
    auto *values = static_cast<const char **>(qr_realloc(window.values, size));
    if (values == nullptr) {
        print_alloc_error(size);
        return false;
    }
    window.values = values;
    window.values_capacity = count;
    return true;
}

replay_item *remake(reorder_window &window, const held_record *record) {
    if (!make_value_room(window, record->count == 0 ? 1 : record->count)) return nullptr;
    const char **s = window.values;
    read_strings(record, s);
    const struct timeval *time = &record->time;
    uint64_t session = record->session_id;
    replay_item *item = nullptr;
    switch (record->type) {
        case pg_connect: item = replay_create_connect(time, session, s[0], s[1]); break;
        case pg_disconnect: item = replay_create_disconnect(time, session); break;
        case pg_execute: item = replay_create_execute(time, session, s[0]); break;
        case pg_prepare: item = replay_create_prepare(time, session, s[1], s[0]); break;
        case pg_exec_prepared:
            item = replay_create_exec_prepared(time, session, s[0],
                                               static_cast<uint16_t>(record->count - 1), s + 1);
            break;
        case pg_cancel: item = replay_create_cancel(time, session); break;
    }
    if (item != nullptr) replay_set_recorded_duration(item, record->recorded_duration);
    return item;
}

}  // namespace

int64_t time_in_microseconds(const struct timeval &time) {
    return static_cast<int64_t>(time.tv_sec) * 1000000 + time.tv_usec;
}

held_record *hold_item(reorder_window &window, replay_item *item, int64_t key_us,
                       bool awaiting_duration) {
    size_t size = record_size(item);
    held_record *record = make_room(window) ? room_for(window, size) : nullptr;
    if (record == nullptr) {
        replay_free(item);
        return nullptr;
    }
    record->time = item->time;
    record->session_id = item->session_id;
    record->recorded_duration = item->recorded_duration;
    record->type = item->type;
    record->count = item->count;
    write_strings(record, item);
    replay_free(item);

    held_item held = {record, key_us, window.next_sequence++, size, awaiting_duration};
    size_t at = window.last;
    while (at > window.first && earlier(held, window.slots[at - 1])) {
        window.slots[at] = window.slots[at - 1];
        --at;
    }
    window.slots[at] = held;
    ++window.last;
    window.held_bytes += size;
    return record;
}

replay_item *release_earliest(reorder_window &window) {
    held_item earliest = window.slots[window.first++];
    if (window_is_empty(window)) window.first = window.last = 0;
    window.held_bytes -= earliest.bytes;
    replay_item *item = remake(window, earliest.record);
    drop_record(window, earliest.record->chunk);
    return item;
}

void release_window(reorder_window &window) {
    for (size_t i = window.first; i < window.last; ++i)
        drop_record(window, window.slots[i].record->chunk);
    qr_free(window.chunk);
    for (size_t i = 0; i < window.spare_count; ++i) qr_free(window.spares[i]);
    qr_free(window.slots);
    qr_free(window.values);
    window = reorder_window{};
}
