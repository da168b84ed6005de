// The replay file's record format and the state its reader and writer share.
//
// A record is: seconds (4 bytes), microseconds (4), session id (8), type (1),
// the type's strings and counts, and a closing newline byte.  Integers are
// unsigned big-endian.  A string is a 4-byte length and that many bytes of
// text without a NUL; the length null_string_marker stands for a null string
// and has no text.
#pragma once

#include <cstddef>
#include <cstdint>

// The descriptor of the replay file.  A run either reads or writes a replay
// file, never both, so one descriptor serves the reader and the writer.  It
// is standard input until an init selects another.
inline int replay_fd = 0;

constexpr uint32_t null_string_marker = 0x80000000u;
constexpr uint32_t max_string_length = 0x7FFFFFFFu;
constexpr unsigned char record_end = 0x0A;

// Both directions move data through a block of this size, so that a record
// costs a fraction of a system call rather than several.
constexpr size_t replay_io_block = 64 * 1024;

inline void put_big_endian(unsigned char *out, uint64_t value, size_t width) {
    for (size_t i = width; i-- > 0;) {
        out[i] = static_cast<unsigned char>(value & 0xFF);
        value >>= 8;
    }
}

inline uint64_t get_big_endian(const unsigned char *in, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) value = (value << 8) | in[i];
    return value;
}
