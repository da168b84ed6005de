// What the entry parser fuzzers share: a log handed to the entry parser of
// a format through a memory file, parsed in whole blocks and in small
// reads, which must give the same entries.  The first byte of an input
// chooses a time window (bits 1 and 2) and the small read size (bits 3 to
// 7); bit 0 is left to the fuzzer.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "parse/parse_provider.h"
#include "parse/parse_state.h"
#include "quillrun/parse.h"

// Everything the parser returned, in order, as one text.
inline std::string parse_log(const uint8_t *log, size_t size, log_format format,
                             size_t read_size) {
    int fd = memfd_create("log", MFD_CLOEXEC);
    if (fd < 0) abort();
    if (size > 0 && write(fd, log, size) != static_cast<ssize_t>(size)) abort();
    lseek(fd, 0, SEEK_SET);
    parse_setup kept = parse_unit_state().setup;
    reset_parse_state();
    parse_state &state = parse_unit_state();
    state.setup = kept;
    state.setup.input_fd = fd;
    state.setup.csv_mode = format == csv_format;
    state.setup.json_mode = format == json_format;
    set_log_read_size(read_size);

    std::string outcome;
    for (;;) {
        struct timeval time;
        char user[max_name_length + 1];
        char database[max_name_length + 1];
        uint64_t session_id;
        log_type type;
        char *message;
        char *detail;
        int result = entry_parsers[format](&time, user, database, &session_id, &type, &message,
                                           &detail);
        if (result != 1) {
            if (message != nullptr || detail != nullptr) abort();
            outcome += "result " + std::to_string(result) + " after line " +
                       std::to_string(state.reader.line_number);
            break;
        }
        outcome += std::to_string(time.tv_sec) + "." + std::to_string(time.tv_usec) + "|" + user +
                   "|" + database + "|" + std::to_string(session_id) + "|" +
                   std::to_string(type) + "|" + message + "|" + (detail ? detail : "<none>") + "\n";
        if (format == stderr_format) free(detail);
        free(message);
    }
    close(fd);
    return outcome;
}

// A zone with daylight-saving time, so that stamps naming it ("CEST")
// take the conversion's daylight path.
inline void start_parsing_in_a_daylight_saving_zone() {
    setenv("TZ", "Europe/Berlin", 1);
    parse_provider_init(nullptr, 0, nullptr, nullptr, nullptr, nullptr);
}

// Parses the input (after its first byte) both ways; aborts if they differ.
inline void check_both_ways(const uint8_t *data, size_t size, log_format format) {
    if (size == 0) return;
    uint8_t control = data[0];
    parse_setup &setup = parse_unit_state().setup;
    setup.begin_timestamp = control & 2 ? "2000-01-01 00:00:01.000" : nullptr;
    setup.end_timestamp = control & 4 ? "2000-01-01 00:00:05.000" : nullptr;
    size_t small_read = (control >> 3) + 1u;
    std::string whole = parse_log(data + 1, size - 1, format, 0);
    std::string pieces = parse_log(data + 1, size - 1, format, small_read);
    if (whole != pieces) abort();
}
