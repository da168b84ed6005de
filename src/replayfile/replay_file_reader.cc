// Reading the records of a replay file back into replay items.
//
// A replay file comes from outside the program: a corrupt or hostile one
// must end in a message, never in a crash or an allocation that the file's
// contents do not justify.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "quillrun/alloc.h"
#include "quillrun/interrupt.h"
#include "quillrun/messages.h"
#include "quillrun/progress.h"
#include "quillrun/replayfile.h"
#include "quillrun/settings.h"
#include "replay_format.h"

namespace {

// Bytes read ahead of the record being decoded.
struct input_buffer {
    unsigned char bytes[replay_io_block];
    size_t next = 0;  // first byte not yet consumed
    size_t end = 0;   // one past the last byte held
    uint64_t bytes_read = 0;  // from the file so far
};

input_buffer input;

enum class fill_result { data, end_of_file, failed };

struct free_releaser {
    void operator()(void *memory) const { qr_free(memory); }
};
using owned_text = std::unique_ptr<char, free_releaser>;

struct item_releaser {
    void operator()(replay_item *item) const { replay_free(item); }
};
using owned_item = std::unique_ptr<replay_item, item_releaser>;

// The values of an execution record while they are read: a zero-filled
// array of strings, each null (an SQL NULL) or owned.
class value_list {
public:
    value_list() = default;
    value_list(const value_list &) = delete;
    value_list &operator=(const value_list &) = delete;
    ~value_list() {
        if (entries_ == nullptr) return;
        for (size_t i = 0; i < count_; ++i) qr_free(entries_[i]);
        qr_free(entries_);
    }
    bool allocate(uint16_t count) {
        entries_ = static_cast<char **>(qr_malloc(count * sizeof(char *)));
        if (entries_ == nullptr) {
            print_alloc_error(count * sizeof(char *));
            return false;
        }
        std::fill_n(entries_, count, nullptr);
        count_ = count;
        return true;
    }
    void set(size_t index, owned_text text) { entries_[index] = text.release(); }
    char **release() {
        count_ = 0;
        return std::exchange(entries_, nullptr);
    }

private:
    char **entries_ = nullptr;
    size_t count_ = 0;
};

// Makes at least one byte available.  Only a read that returns nothing is
// the end of the file: a pipe may legitimately deliver fewer bytes than a
// block, and the next read brings the rest.
fill_result fill_input() {
    if (input.next < input.end) return fill_result::data;
    ssize_t got;
    do {
        got = read(replay_fd, input.bytes, sizeof input.bytes);
    } while (got < 0 && errno == EINTR && !interrupt_requested());
    if (got < 0) {
        // A read cut short by an interrupt is no read error: the driver
        // ends the run and says why.
        if (errno != EINTR) print_system_error("Error reading from input file");
        return fill_result::failed;
    }
    if (got == 0) return fill_result::end_of_file;
    input.next = 0;
    input.end = static_cast<size_t>(got);
    input.bytes_read += input.end;
    return fill_result::data;
}

// Reads exactly size bytes, a block at a time; the file ending first means
// a cut record.
bool read_bytes_across_blocks(unsigned char *to, size_t size) {
    while (size > 0) {
        switch (fill_input()) {
            case fill_result::failed:
                return false;
            case fill_result::end_of_file:
                print_error("Error: unexpected end of file on input file\n");
                return false;
            case fill_result::data:
                break;
        }
        size_t chunk = std::min(size, input.end - input.next);
        memcpy(to, input.bytes + input.next, chunk);
        input.next += chunk;
        to += chunk;
        size -= chunk;
    }
    return true;
}

// Nearly every field lies wholly in the block already read, so that case
// is a plain copy.
inline bool read_bytes(void *destination, size_t size) {
    if (size <= input.end - input.next) {
        memcpy(destination, input.bytes + input.next, size);
        input.next += size;
        return true;
    }
    return read_bytes_across_blocks(static_cast<unsigned char *>(destination), size);
}

bool read_length(uint32_t *length) {
    unsigned char encoded[4];
    if (!read_bytes(encoded, sizeof encoded)) return false;
    *length = get_big_endian_32(encoded);
    return true;
}

bool read_count(uint16_t *count) {
    unsigned char encoded[2];
    if (!read_bytes(encoded, sizeof encoded)) return false;
    *count = get_big_endian_16(encoded);
    return true;
}

// Copies a text that lies wholly in the block already read.
bool copy_buffered_text(uint32_t length, owned_text *result) {
    auto *text = static_cast<char *>(qr_malloc(length + 1u));
    if (text == nullptr) {
        print_alloc_error(length + 1u);
        return false;
    }
    memcpy(text, input.bytes + input.next, length);
    input.next += length;
    text[length] = '\0';
    result->reset(text);
    return true;
}

// Reads length bytes of text into a NUL-terminated buffer.  The buffer
// grows with the bytes that actually arrive, so a huge length in a short
// file ends as a cut record instead of a huge allocation.
bool read_text(uint32_t length, owned_text *result) {
    if (length <= input.end - input.next) return copy_buffered_text(length, result);
    size_t capacity = std::min<size_t>(length, replay_io_block);
    owned_text text(static_cast<char *>(qr_malloc(capacity + 1)));
    if (text == nullptr) {
        print_alloc_error(capacity + 1);
        return false;
    }
    size_t filled = 0;
    for (;;) {
        if (!read_bytes(text.get() + filled, capacity - filled)) return false;
        filled = capacity;
        if (filled == length) break;
        size_t grown = std::min<size_t>(length, 2 * capacity);
        auto *bigger = static_cast<char *>(qr_realloc(text.get(), grown + 1));
        if (bigger == nullptr) {
            print_alloc_error(grown + 1);
            return false;
        }
        (void)text.release();
        text.reset(bigger);
        capacity = grown;
    }
    text.get()[length] = '\0';
    *result = std::move(text);
    return true;
}

// One string; *result stays null for the null marker.
bool read_replay_string(owned_text *result) {
    uint32_t length;
    if (!read_length(&length)) return false;
    if (length == null_string_marker) {
        result->reset();
        return true;
    }
    if (length > max_string_length) {
        print_error("Error: invalid string length %lu in replay file\n",
                    static_cast<unsigned long>(length));
        return false;
    }
    return read_text(length, result);
}

// A string that the item cannot hold as null: a user, database, statement
// or statement name.
bool read_required_string(owned_text *result, const char *what) {
    if (!read_replay_string(result)) return false;
    if (*result != nullptr) return true;
    print_error("Error: null string where a %s belongs in replay file\n", what);
    return false;
}

replay_item *read_connect(const struct timeval *time, uint64_t session_id) {
    owned_text user, database;
    if (!read_required_string(&user, "user name") ||
        !read_required_string(&database, "database name"))
        return nullptr;
    return replay_take_connect(time, session_id, user.release(), database.release());
}

replay_item *read_execute(const struct timeval *time, uint64_t session_id) {
    owned_text statement;
    if (!read_required_string(&statement, "statement")) return nullptr;
    return replay_take_execute(time, session_id, statement.release());
}

replay_item *read_prepare(const struct timeval *time, uint64_t session_id) {
    owned_text statement, name;
    if (!read_required_string(&statement, "statement") ||
        !read_required_string(&name, "statement name"))
        return nullptr;
    return replay_take_prepare(time, session_id, name.release(), statement.release());
}

replay_item *read_exec_prepared(const struct timeval *time, uint64_t session_id) {
    owned_text name;
    uint16_t count;
    if (!read_required_string(&name, "statement name") || !read_count(&count))
        return nullptr;
    // The count also counts the name, so one value fewer than 16 bits allow.
    if (count > max_exec_values) {
        print_error("Error: %lu values in replay file, a statement execution holds at most %u\n",
                    static_cast<unsigned long>(count), max_exec_values);
        return nullptr;
    }
    value_list values;
    if (!values.allocate(count)) return nullptr;
    for (size_t i = 0; i < count; ++i) {
        owned_text value;
        if (!read_replay_string(&value)) return nullptr;
        values.set(i, std::move(value));
    }
    return replay_take_exec_prepared(time, session_id, name.release(), count, values.release());
}

replay_item *read_payload(unsigned type, const struct timeval *time, uint64_t session_id) {
    switch (type) {
        case pg_connect: return read_connect(time, session_id);
        case pg_disconnect: return replay_create_disconnect(time, session_id);
        case pg_execute: return read_execute(time, session_id);
        case pg_prepare: return read_prepare(time, session_id);
        case pg_exec_prepared: return read_exec_prepared(time, session_id);
        case pg_cancel: return replay_create_cancel(time, session_id);
        default: break;
    }
    print_error("Error: unknown type %u encountered\n", type);
    return nullptr;
}

bool read_header(struct timeval *time, uint64_t *session_id, unsigned *type) {
    unsigned char header[record_header_size];
    if (!read_bytes(header, sizeof header)) return false;
    // Both time fields are unsigned in the file.
    time->tv_sec = static_cast<time_t>(get_big_endian_32(header));
    time->tv_usec = static_cast<suseconds_t>(get_big_endian_32(header + 4));
    *session_id = get_big_endian_64(header + 8);
    *type = header[16];
    return true;
}

// The duration that follows the header of a record whose type byte has
// the flag; only statements and executions carry one.
bool read_recorded_duration(unsigned *type, int64_t *recorded) {
    *recorded = no_recorded_duration;
    if ((*type & recorded_duration_flag) == 0) return true;
    unsigned base = *type & ~unsigned{recorded_duration_flag};
    if (base != pg_execute && base != pg_exec_prepared) {
        print_error("Error: unknown type %u encountered\n", *type);
        return false;
    }
    unsigned char encoded[recorded_duration_size];
    if (!read_bytes(encoded, sizeof encoded)) return false;
    uint64_t duration = get_big_endian_64(encoded);
    if (duration > static_cast<uint64_t>(INT64_MAX)) {
        print_error("Error: invalid recorded duration in replay file\n");
        return false;
    }
    *type = base;
    *recorded = static_cast<int64_t>(duration);
    return true;
}

// Reads the record that starts at the current position; the first byte is
// known to be there.
replay_item *read_record() {
    struct timeval time;
    uint64_t session_id;
    unsigned type;
    int64_t recorded;
    if (!read_header(&time, &session_id, &type) || !read_recorded_duration(&type, &recorded))
        return nullptr;
    owned_item item(read_payload(type, &time, session_id));
    if (item == nullptr) return nullptr;
    replay_set_recorded_duration(item.get(), recorded);
    unsigned char end;
    if (!read_bytes(&end, 1)) return nullptr;
    if (end != record_end) {
        print_error("Error: missing new-line at end of line\n");
        return nullptr;
    }
    return item.release();
}

}  // namespace

int file_provider_init(const char *infile, int, const char *, const char *, const char *,
                       const char *) {
    trace_enter("file_provider_init");
    input.next = 0;
    input.end = 0;
    input.bytes_read = 0;
    int result = 1;
    replay_fd = 0;
    if (infile != nullptr) {
        replay_fd = open(infile, O_RDONLY | O_CLOEXEC);
        if (replay_fd == -1) {
            perror("Error opening input file:");
            result = 0;
        }
    }
    trace_leave("file_provider_init");
    return result;
}

replay_item *file_provider() {
    trace_enter("file_provider");
    switch (fill_input()) {
        case fill_result::end_of_file:
            return end_item;
        case fill_result::failed:
            trace_leave("file_provider");
            return nullptr;
        case fill_result::data:
            break;
    }
    replay_item *item = read_record();
    if (item != nullptr) replay_print_debug(item);
    trace_leave("file_provider");
    return item;
}

void file_provider_progress(input_progress *progress) {
    *progress = input_progress{};
    progress->bytes_consumed = input.bytes_read - (input.end - input.next);
    struct stat file;
    if (fstat(replay_fd, &file) == 0 && S_ISREG(file.st_mode)) progress->size = file.st_size;
}

void file_provider_finish() {
    trace_enter("file_provider_finish");
    if (replay_fd != 0 && close(replay_fd) != 0) perror("Error closing input file:");
    trace_leave("file_provider_finish");
}
