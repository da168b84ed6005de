// Allocation that never aborts: every function returns null on failure and
// the caller reports it.  Input-sized memory goes through these so that a
// failure is a clean error, and so that tests can provoke failures.
#pragma once

#include <cstddef>

void *qr_malloc(size_t size);
void *qr_calloc(size_t count, size_t size);
void *qr_realloc(void *ptr, size_t size);
// A copy of text (length + 1 bytes), or null; text must not be null.
char *qr_strdup(const char *text);

// Frees a block from these wrappers (null is ignored).  Small blocks are
// kept and handed out again by qr_malloc, which makes this the cheaper
// choice where blocks come and go at a high rate; plain free is still
// right for any block.  Like the rest of the program's state, the kept
// blocks belong to its one thread.
void qr_free(void *block);

// Test hook: make the allocation that is `countdown` calls from now fail
// (1 = the next one).  0 switches failures off.
void qr_fail_allocation_after(long countdown);

// Test hook: make every allocation of more than `limit` bytes fail, so a
// test can show that input cannot make the program allocate beyond it.
// 0 switches the limit off.
void qr_fail_allocations_above(size_t limit);
