// Diagnostics.  Everything here writes to standard error and flushes, so
// messages interleave correctly with debug output and survive a crash.
#pragma once

#include <cstddef>

#include "quillrun/settings.h"

#define QR_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// An error or warning, printed at every debug level.
void print_error(const char *format, ...) QR_PRINTF(1, 2);

// Printed only when debug_level is at least level.  The level test is
// inline: debug calls sit on every per-line and per-item path.
#define print_debug(level, ...)                            \
    do {                                                   \
        if (debug_level >= (level)) print_error(__VA_ARGS__); \
    } while (0)

// "Entering NAME" / "Leaving NAME" at debug level 3.
void print_trace(const char *what, const char *name);
inline void trace_enter(const char *name) {
    if (debug_level >= 3) print_trace("Entering", name);
}
inline void trace_leave(const char *name) {
    if (debug_level >= 3) print_trace("Leaving", name);
}

// A failed system call, as perror prints it: the prefix, ": " and the text
// of errno.  For failures that can happen while the run is under way.
void print_system_error(const char *prefix);

// "Cannot allocate SIZE bytes of memory".
void print_alloc_error(size_t size);
