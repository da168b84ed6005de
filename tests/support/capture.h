// Capturing what code under test writes to standard error or standard output.
#pragma once

#include <cstdio>
#include <string>

// Redirects a stream's descriptor into a temporary file until stop().
class stream_capture {
public:
    explicit stream_capture(FILE *stream);
    ~stream_capture();
    stream_capture(const stream_capture &) = delete;
    stream_capture &operator=(const stream_capture &) = delete;
    // Restores the stream and returns what was written.
    std::string stop();

private:
    FILE *stream_;
    int saved_fd_ = -1;
    FILE *file_ = nullptr;
    std::string text_;
};

// Sets debug_level for a scope.
class debug_level_scope {
public:
    explicit debug_level_scope(int level);
    ~debug_level_scope();

private:
    int saved_;
};
