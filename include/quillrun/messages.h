// Diagnostics.  Everything here writes to standard error and flushes, so
// messages interleave correctly with debug output and survive a crash.
#pragma once

#include <cstddef>

#define QR_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// An error or warning, printed at every debug level.
void print_error(const char *format, ...) QR_PRINTF(1, 2);

// Printed only when debug_level is at least level.
void print_debug(int level, const char *format, ...) QR_PRINTF(2, 3);

// "Entering NAME" / "Leaving NAME" at debug level 3.
void trace_enter(const char *name);
void trace_leave(const char *name);

// "Cannot allocate SIZE bytes of memory".
void print_alloc_error(size_t size);
