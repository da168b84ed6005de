#include "database/session_list.h"

#include <cstdlib>

#include "quillrun/alloc.h"
#include "quillrun/messages.h"

namespace {

// Session ids are built from a start time and a process id, so their low
// bits alone cluster; mix all 64 bits into the slot number.
size_t slot_of(uint64_t session_id, size_t capacity) {
    uint64_t x = session_id;
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return static_cast<size_t>(x) & (capacity - 1);
}

void insert_slot(session_connection **slots, size_t capacity, session_connection *record) {
    size_t slot = slot_of(record->session_id, capacity);
    while (slots[slot] != nullptr) slot = (slot + 1) & (capacity - 1);
    slots[slot] = record;
}

size_t find_slot(const session_list &list, uint64_t session_id) {
    size_t slot = slot_of(session_id, list.capacity);
    while (list.slots[slot] != nullptr && list.slots[slot]->session_id != session_id)
        slot = (slot + 1) & (list.capacity - 1);
    return slot;
}

}  // namespace

bool session_list_reserve(session_list &list) {
    // Keep the table at most half full so that probe runs stay short.
    if (2 * (list.count + 1) <= list.capacity) return true;
    size_t capacity = list.capacity == 0 ? 64 : 2 * list.capacity;
    auto **slots =
        static_cast<session_connection **>(qr_calloc(capacity, sizeof(session_connection *)));
    if (slots == nullptr) {
        print_alloc_error(capacity * sizeof(session_connection *));
        return false;
    }
    for (size_t i = 0; i < list.capacity; ++i)
        if (list.slots[i] != nullptr) insert_slot(slots, capacity, list.slots[i]);
    free(list.slots);
    list.slots = slots;
    list.capacity = capacity;
    return true;
}

void session_list_add(session_list &list, session_connection *record) {
    record->previous = nullptr;
    record->next = list.head;
    if (list.head != nullptr) list.head->previous = record;
    list.head = record;
    insert_slot(list.slots, list.capacity, record);
    ++list.count;
}

void session_list_remove(session_list &list, session_connection *record) {
    if (record->previous != nullptr)
        record->previous->next = record->next;
    else
        list.head = record->next;
    if (record->next != nullptr) record->next->previous = record->previous;
    --list.count;

    size_t mask = list.capacity - 1;
    size_t hole = slot_of(record->session_id, list.capacity);
    while (list.slots[hole] != record) hole = (hole + 1) & mask;
    // Backward-shift deletion: move later members of the probe run into the
    // hole when their home slot does not lie between the hole and them.
    list.slots[hole] = nullptr;
    for (size_t slot = (hole + 1) & mask; list.slots[slot] != nullptr; slot = (slot + 1) & mask) {
        size_t home = slot_of(list.slots[slot]->session_id, list.capacity);
        bool stays = ((slot - home) & mask) < ((slot - hole) & mask);
        if (stays) continue;
        list.slots[hole] = list.slots[slot];
        list.slots[slot] = nullptr;
        hole = slot;
    }
}

session_connection *session_list_find(const session_list &list, uint64_t session_id) {
    if (list.capacity == 0) return nullptr;
    return list.slots[find_slot(list, session_id)];
}

void session_list_release_index(session_list &list) {
    free(list.slots);
    list.slots = nullptr;
    list.capacity = 0;
}
