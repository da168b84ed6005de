#include "quillrun/messages.h"

#include <cstdarg>
#include <cstdio>

#include "quillrun/settings.h"

namespace {

void vprint_flushed(const char *format, va_list args) {
    vfprintf(stderr, format, args);
    fflush(stderr);
}

}  // namespace

void print_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vprint_flushed(format, args);
    va_end(args);
}

void print_debug(int level, const char *format, ...) {
    if (debug_level < level) return;
    va_list args;
    va_start(args, format);
    vprint_flushed(format, args);
    va_end(args);
}

void trace_enter(const char *name) { print_debug(3, "Entering %s\n", name); }

void trace_leave(const char *name) { print_debug(3, "Leaving %s\n", name); }

void print_alloc_error(size_t size) {
    print_error("Cannot allocate %lu bytes of memory\n", static_cast<unsigned long>(size));
}
