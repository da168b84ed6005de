#include "quillrun/alloc.h"

#include <malloc.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

// AddressSanitizer must see every free to catch a use after it, so its
// builds keep no freed blocks.
#if defined(__SANITIZE_ADDRESS__)
#define QR_KEEP_FREED_BLOCKS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QR_KEEP_FREED_BLOCKS 0
#endif
#endif
#ifndef QR_KEEP_FREED_BLOCKS
#define QR_KEEP_FREED_BLOCKS 1
#endif

namespace {

long fail_countdown = 0;
size_t size_limit = 0;

// True when the test hooks say this allocation must fail.
bool injected_failure(size_t size) {
    if (size_limit != 0 && size > size_limit) return true;
    if (fail_countdown <= 0) return false;
    return --fail_countdown == 0;
}

// Small blocks given back with qr_free, kept for the next qr_malloc of
// their size.  A run makes and frees millions of replay items of a few
// small blocks each, and taking a block from a list costs a fraction of
// glibc's malloc and free.
//
// Class k holds blocks of at least k * block_granule usable bytes and
// serves requests of up to that many bytes.  Requests are rounded up to
// their class's size, so the blocks that come back fit their class
// whatever the allocator's own rounding.  Each list is bounded, so a burst
// of frees does not hold memory back from the rest of the program.
constexpr size_t block_granule = 16;
constexpr size_t block_classes = 33;  // up to 512 bytes
constexpr unsigned blocks_per_class = 64;

struct kept_block {
    kept_block *next;
};

struct block_cache {
    kept_block *lists[block_classes] = {};
    unsigned counts[block_classes] = {};
};

block_cache cache;

bool keeps_size(size_t size) {
    return QR_KEEP_FREED_BLOCKS && size != 0 && size <= (block_classes - 1) * block_granule;
}

size_t class_serving(size_t size) { return (size + block_granule - 1) / block_granule; }

void *take_kept_block(size_t block_class) {
    kept_block *block = cache.lists[block_class];
    if (block == nullptr) return nullptr;
    cache.lists[block_class] = block->next;
    --cache.counts[block_class];
    return block;
}

}  // namespace

void qr_fail_allocation_after(long countdown) { fail_countdown = countdown; }

void qr_fail_allocations_above(size_t limit) { size_limit = limit; }

void *qr_malloc(size_t size) {
    if (injected_failure(size)) return nullptr;
    if (!keeps_size(size)) return malloc(size == 0 ? 1 : size);
    size_t block_class = class_serving(size);
    void *block = take_kept_block(block_class);
    return block != nullptr ? block : malloc(block_class * block_granule);
}

void *qr_calloc(size_t count, size_t size) {
    // An overflowing product is far above any limit.
    if (injected_failure(size != 0 && count > SIZE_MAX / size ? SIZE_MAX : count * size))
        return nullptr;
    if (count == 0 || size == 0) return calloc(1, 1);
    return calloc(count, size);
}

void *qr_realloc(void *ptr, size_t size) {
    if (injected_failure(size)) return nullptr;
    return realloc(ptr, size == 0 ? 1 : size);
}

char *qr_strdup(const char *text) {
    size_t size = strlen(text) + 1;
    char *copy = static_cast<char *>(qr_malloc(size));
    if (copy != nullptr) memcpy(copy, text, size);
    return copy;
}

void qr_free(void *block) {
    if (block == nullptr) return;
    if (QR_KEEP_FREED_BLOCKS) {
        size_t block_class = malloc_usable_size(block) / block_granule;
        if (block_class < block_classes && cache.counts[block_class] < blocks_per_class) {
            auto *kept = static_cast<kept_block *>(block);
            kept->next = cache.lists[block_class];
            cache.lists[block_class] = kept;
            ++cache.counts[block_class];
            return;
        }
    }
    free(block);
}
