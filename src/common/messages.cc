#include "quillrun/messages.h"

#include <cstdarg>
#include <cstdio>

#include "quillrun/status_line.h"

void print_error(const char *format, ...) {
    status_line_clear();
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fflush(stderr);
}

void print_system_error(const char *prefix) {
    status_line_clear();
    perror(prefix);
}

void print_trace(const char *what, const char *name) { print_error("%s %s\n", what, name); }

void print_alloc_error(size_t size) {
    print_error("Cannot allocate %lu bytes of memory\n", static_cast<unsigned long>(size));
}
