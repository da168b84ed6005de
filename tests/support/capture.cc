#include "support/capture.h"

#include <unistd.h>

#include "quillrun/settings.h"

stream_capture::stream_capture(FILE *stream) : stream_(stream) {
    fflush(stream_);
    file_ = tmpfile();
    saved_fd_ = dup(fileno(stream_));
    dup2(fileno(file_), fileno(stream_));
}

stream_capture::~stream_capture() { stop(); }

std::string stream_capture::stop() {
    if (saved_fd_ < 0) return text_;
    fflush(stream_);
    dup2(saved_fd_, fileno(stream_));
    close(saved_fd_);
    saved_fd_ = -1;
    rewind(file_);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file_)) > 0) text_.append(buffer, n);
    fclose(file_);
    return text_;
}

debug_level_scope::debug_level_scope(int level) : saved_(debug_level) { debug_level = level; }

debug_level_scope::~debug_level_scope() { debug_level = saved_; }
