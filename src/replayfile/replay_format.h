// The replay file's record format and the state its reader and writer share.
//
// A record is: seconds (4 bytes), microseconds (4), session id (8), type (1),
// the type's strings and counts, and a closing newline byte.  Integers are
// unsigned big-endian.  A string is a 4-byte length and that many bytes of
// text without a NUL; the length null_string_marker stands for a null string
// and has no text.
//
// Second version of the record: a statement or execution whose duration the
// log recorded has recorded_duration_flag set in its type byte, and 8 bytes
// of that duration in microseconds follow the header.  Records without a
// duration are those of the first version, so a file of a log without
// durations is written as before and every earlier file reads as it did;
// an earlier reader refuses a record with the flag as of an unknown type
// instead of misreading it.
#pragma once

#include <cstddef>
#include <cstdint>

// The descriptor of the replay file.  A run either reads or writes a replay
// file, never both, so one descriptor serves the reader and the writer.  It
// is standard input until an init selects another.
inline int replay_fd = 0;

// The fields before the payload: seconds (4 bytes), microseconds (4),
// session id (8) and type (1).
constexpr size_t record_header_size = 17;

constexpr unsigned char recorded_duration_flag = 0x80;
constexpr size_t recorded_duration_size = 8;

constexpr uint32_t null_string_marker = 0x80000000u;
constexpr uint32_t max_string_length = 0x7FFFFFFFu;
constexpr unsigned char record_end = 0x0A;

// Both directions move data through a block of this size, so that a record
// costs a fraction of a system call rather than several.
constexpr size_t replay_io_block = 64 * 1024;

// Spelled out per width: compilers turn these forms, not a loop over the
// bytes, into a single byte swap and load or store.
inline void put_big_endian_16(unsigned char *out, uint16_t value) {
    out[0] = static_cast<unsigned char>(value >> 8);
    out[1] = static_cast<unsigned char>(value);
}

inline void put_big_endian_32(unsigned char *out, uint32_t value) {
    out[0] = static_cast<unsigned char>(value >> 24);
    out[1] = static_cast<unsigned char>(value >> 16);
    out[2] = static_cast<unsigned char>(value >> 8);
    out[3] = static_cast<unsigned char>(value);
}

inline void put_big_endian_64(unsigned char *out, uint64_t value) {
    put_big_endian_32(out, static_cast<uint32_t>(value >> 32));
    put_big_endian_32(out + 4, static_cast<uint32_t>(value));
}

inline uint16_t get_big_endian_16(const unsigned char *in) {
    return static_cast<uint16_t>(in[0] << 8 | in[1]);
}

inline uint32_t get_big_endian_32(const unsigned char *in) {
    return uint32_t{in[0]} << 24 | uint32_t{in[1]} << 16 | uint32_t{in[2]} << 8 | in[3];
}

inline uint64_t get_big_endian_64(const unsigned char *in) {
    return uint64_t{get_big_endian_32(in)} << 32 | get_big_endian_32(in + 4);
}
