#include "quillrun/alloc.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

long fail_countdown = 0;
size_t size_limit = 0;

// True when the test hooks say this allocation must fail.
bool injected_failure(size_t size) {
    if (size_limit != 0 && size > size_limit) return true;
    if (fail_countdown <= 0) return false;
    return --fail_countdown == 0;
}

}  // namespace

void qr_fail_allocation_after(long countdown) { fail_countdown = countdown; }

void qr_fail_allocations_above(size_t limit) { size_limit = limit; }

void *qr_malloc(size_t size) {
    if (injected_failure(size)) return nullptr;
    return malloc(size == 0 ? 1 : size);
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
