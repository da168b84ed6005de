#include "reorder_window.h"

#include <sys/time.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "quillrun/alloc.h"
#include "quillrun/messages.h"

namespace {

bool earlier(const held_item &a, const held_item &b) {
    return a.key_us < b.key_us || (a.key_us == b.key_us && a.sequence < b.sequence);
}

size_t bytes_of(const replay_item *item) {
    size_t bytes = sizeof(replay_item) + item->count * sizeof(char *);
    for (unsigned i = 0; i < item->count; ++i)
        if (item->data[i] != nullptr) bytes += strlen(item->data[i]) + 1;
    return bytes;
}

bool grow(reorder_window &window) {
    size_t capacity = window.capacity == 0 ? 256 : window.capacity * 2;
    size_t size = capacity * sizeof(held_item);
    auto *heap = static_cast<held_item *>(qr_realloc(window.heap, size));
    if (heap == nullptr) {
        print_alloc_error(size);
        return false;
    }
    window.heap = heap;
    window.capacity = capacity;
    return true;
}

void sift_up(held_item *heap, size_t at) {
    while (at > 0) {
        size_t parent = (at - 1) / 2;
        if (!earlier(heap[at], heap[parent])) break;
        std::swap(heap[at], heap[parent]);
        at = parent;
    }
}

void sift_down(held_item *heap, size_t size, size_t at) {
    for (;;) {
        size_t first = at, left = 2 * at + 1, right = left + 1;
        if (left < size && earlier(heap[left], heap[first])) first = left;
        if (right < size && earlier(heap[right], heap[first])) first = right;
        if (first == at) return;
        std::swap(heap[at], heap[first]);
        at = first;
    }
}

}  // namespace

int64_t time_in_microseconds(const struct timeval &time) {
    return static_cast<int64_t>(time.tv_sec) * 1000000 + time.tv_usec;
}

bool hold_item(reorder_window &window, replay_item *item, int64_t key_us, bool awaiting_duration) {
    if (window.size == window.capacity && !grow(window)) {
        replay_free(item);
        return false;
    }
    held_item &slot = window.heap[window.size];
    slot = {item, key_us, window.next_sequence++, bytes_of(item), awaiting_duration};
    window.held_bytes += slot.bytes;
    sift_up(window.heap, window.size++);
    return true;
}

held_item release_earliest(reorder_window &window) {
    held_item earliest = window.heap[0];
    window.heap[0] = window.heap[--window.size];
    sift_down(window.heap, window.size, 0);
    window.held_bytes -= earliest.bytes;
    return earliest;
}

void release_window(reorder_window &window) {
    for (size_t i = 0; i < window.size; ++i) replay_free(window.heap[i].item);
    qr_free(window.heap);
    window = reorder_window{};
}
