// The bind values of a prepared statement execution, read from the
// "parameters: " detail the server logs with it.
#pragma once

#include <cstddef>

// The values of one list.  The pointer array grows to the longest list seen
// and is reused, so reading a list allocates only when it is longer than
// every list before it.
class bind_values {
public:
    bind_values() = default;
    ~bind_values();
    bind_values(const bind_values &) = delete;
    bind_values &operator=(const bind_values &) = delete;

    // Each value points into the parsed text, or is null for an SQL NULL.
    const char *const *values() const { return values_; }
    size_t count() const { return count_; }

private:
    friend bool parse_bind_args(char *text, bind_values &result);
    const char **values_ = nullptr;
    size_t count_ = 0;
    size_t capacity_ = 0;
};

// Reads the list after "parameters: " ("$1 = 'a', $2 = NULL", values in
// order of appearance) and removes the quoting of each value in place, so
// the values live as long as text.  False after a reported error: a
// malformed list, or more values than one execution item can hold.
bool parse_bind_args(char *text, bind_values &result);
