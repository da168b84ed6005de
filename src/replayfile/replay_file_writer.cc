// Writing replay items as records of a replay file.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "quillrun/interrupt.h"
#include "quillrun/messages.h"
#include "quillrun/replayfile.h"
#include "quillrun/settings.h"
#include "output_file.h"
#include "replay_format.h"

namespace {

// Records collect here and reach the file a block at a time: when the block
// is full, and at the completion.  After a failed write the block is
// dropped and nothing more is written.
struct output_buffer {
    unsigned char bytes[replay_io_block];
    size_t used = 0;
    bool failed = false;
    bool closed = false;  // the completion closed the descriptor
};

output_buffer output;

struct item_releaser {
    void operator()(replay_item *item) const { replay_free(item); }
};

// Writes the buffered bytes with one request.
bool flush_output() {
    if (output.used == 0) return true;
    size_t asked = output.used;
    ssize_t written = write(replay_fd, output.bytes, asked);
    output.used = 0;
    if (written >= 0 && static_cast<size_t>(written) == asked) return true;
    output.failed = true;
    // A write cut short by a signal (the handlers do not restart calls) is
    // not a write error: the driver ends the run and says why.
    if (interrupt_requested() && (written >= 0 || errno == EINTR)) return false;
    if (written < 0)
        print_system_error("Error writing to output file");
    else
        print_error("Error: not all bytes written to output file\n");
    return false;
}

bool put_bytes_across_blocks(const unsigned char *from, size_t size) {
    while (size > 0) {
        if (output.used == sizeof output.bytes && !flush_output()) return false;
        size_t chunk = std::min(size, sizeof output.bytes - output.used);
        memcpy(output.bytes + output.used, from, chunk);
        output.used += chunk;
        from += chunk;
        size -= chunk;
    }
    return true;
}

// Nearly every field fits in the room left in the block, so that case is
// a plain copy.  A full block is written only when more bytes follow.
inline bool put_bytes(const void *data, size_t size) {
    if (size <= sizeof output.bytes - output.used) {
        memcpy(output.bytes + output.used, data, size);
        output.used += size;
        return true;
    }
    return put_bytes_across_blocks(static_cast<const unsigned char *>(data), size);
}

bool put_length(uint32_t length) {
    unsigned char encoded[4];
    put_big_endian_32(encoded, length);
    return put_bytes(encoded, sizeof encoded);
}

// A null text (an SQL NULL among the values) is written as the null marker.
bool write_replay_string(const char *text) {
    if (text == nullptr) return put_length(null_string_marker);
    size_t length = strlen(text);
    return put_length(static_cast<uint32_t>(length)) && put_bytes(text, length);
}

bool write_values(const replay_item *item) {
    int count = replay_get_valuecount(item);
    const char *const *values = replay_get_values(item);
    unsigned char encoded_count[2];
    put_big_endian_16(encoded_count, static_cast<uint16_t>(count));
    if (!put_bytes(encoded_count, sizeof encoded_count)) return false;
    for (int i = 0; i < count; ++i) {
        if (!write_replay_string(values[i])) return false;
    }
    return true;
}

bool write_payload(const replay_item *item) {
    switch (replay_get_type(item)) {
        case pg_connect:
            return write_replay_string(replay_get_user(item)) &&
                   write_replay_string(replay_get_database(item));
        case pg_execute:
            return write_replay_string(replay_get_statement(item));
        case pg_prepare:
            return write_replay_string(replay_get_statement(item)) &&
                   write_replay_string(replay_get_name(item));
        case pg_exec_prepared:
            return write_replay_string(replay_get_name(item)) && write_values(item);
        case pg_disconnect:
        case pg_cancel:
            break;
    }
    return true;
}

// Times keep their low 32 bits: a time before the base instant comes back
// as a large positive number of seconds.
bool write_header(const replay_item *item) {
    const struct timeval *time = replay_get_time(item);
    unsigned char header[record_header_size];
    put_big_endian_32(header, static_cast<uint32_t>(time->tv_sec));
    put_big_endian_32(header + 4, static_cast<uint32_t>(time->tv_usec));
    put_big_endian_64(header + 8, replay_get_session_id(item));
    header[16] = static_cast<unsigned char>(replay_get_type(item));
    int64_t recorded = replay_get_recorded_duration(item);
    if (recorded == no_recorded_duration) return put_bytes(header, sizeof header);
    header[16] |= recorded_duration_flag;
    unsigned char duration[recorded_duration_size];
    put_big_endian_64(duration, static_cast<uint64_t>(recorded));
    return put_bytes(header, sizeof header) && put_bytes(duration, sizeof duration);
}

bool write_record(const replay_item *item) {
    return write_header(item) && write_payload(item) && put_bytes(&record_end, 1);
}

}  // namespace

int file_consumer_init(const char *outfile, const char *, int, const char *, double) {
    trace_enter("file_consumer_init");
    output.used = 0;
    output.failed = false;
    output.closed = false;
    if (outfile == nullptr || outfile[0] == '\0' || strcmp(outfile, "-") == 0) {
        replay_fd = 1;
    } else {
        replay_fd = output_file_open(outfile);
        if (replay_fd == -1) return 0;
    }
    trace_leave("file_consumer_init");
    return 1;
}

int file_consumer(replay_item *item) {
    trace_enter("file_consumer");
    std::unique_ptr<replay_item, item_releaser> owned(item);
    bool written = write_record(item);
    owned.reset();
    trace_leave("file_consumer");
    return written ? 1 : -1;
}

int file_consumer_complete() {
    if (!output.failed) flush_output();
    if (output.failed) return 0;
    if (output_file_replaces()) {
        output.closed = true;
        if (!output_file_commit(replay_fd)) {
            output.failed = true;
            return 0;
        }
    }
    return 1;
}

void file_consumer_finish(int) {
    trace_enter("file_consumer_finish");
    // Without a completion the run failed or was interrupted: what is still
    // buffered is dropped, and a file being replaced stays as it was.
    output.used = 0;
    if (output_file_replaces()) {
        if (!output.closed) close(replay_fd);
        output.closed = true;
        output_file_discard();
    }
    if (replay_fd != 1 && !output.closed && close(replay_fd) != 0)
        perror("Error closing output file:");
    trace_leave("file_consumer_finish");
}
bool file_consumer_write_failed() { return output.failed; }
