#include "log_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "parse_state.h"
#include "quillrun/alloc.h"
#include "quillrun/interrupt.h"
#include "quillrun/messages.h"

namespace {

// Beyond this a buffer only held one unusual line: give it back to the
// system.
constexpr size_t largest_kept_buffer = 64 * 1024;

}  // namespace

line_storage buffer_pool::take() {
    if (spare_count_ == 0) return {};
    return spare_[--spare_count_];
}

void buffer_pool::lend(const line_storage &line) { note_of(line.text) = line; }

void buffer_pool::give_back(char *text) {
    line_storage &note = note_of(text);
    if (note.text == text && spare_count_ < spare_slots && note.capacity <= largest_kept_buffer) {
        spare_[spare_count_++] = note;
    } else {
        free(text);
    }
    if (note.text == text) note = {};
}

void buffer_pool::clear() {
    while (spare_count_ > 0) free(spare_[--spare_count_].text);
    for (line_storage &note : notes_) note = {};
}

line_storage &buffer_pool::note_of(const char *text) {
    // Fibonacci hashing of the address; malloc aligns to 16 bytes.
    uint64_t address = reinterpret_cast<uintptr_t>(text) >> 4;
    return notes_[(address * 0x9E3779B97F4A7C15u) >> 60];
}

namespace {

// The logical line being gathered.  Owns its buffer until release().
class line_buffer {
public:
    line_buffer(line_reader &reader, unsigned long first_line, size_t padding)
        : reader_(reader), first_line_(first_line), padding_(padding) {}
    ~line_buffer() { free(text_); }
    line_buffer(const line_buffer &) = delete;
    line_buffer &operator=(const line_buffer &) = delete;

    bool start() {
        line_storage spare = reader_.pool.take();
        if (spare.text != nullptr) {
            text_ = spare.text;
            capacity_ = spare.capacity;
            return true;
        }
        text_ = static_cast<char *>(qr_malloc(1));
        if (text_ == nullptr) {
            print_error("Cannot allocate 1 byte of memory\n");
            return false;
        }
        capacity_ = 1;
        return true;
    }

    bool append(const char *bytes, size_t count) {
        if (count == 0) return true;
        if (count > reader_.max_line_length - length_) {
            print_error("Error: log line beginning in line %lu of input file is longer than %lu bytes\n",
                        first_line_, static_cast<unsigned long>(reader_.max_line_length));
            return false;
        }
        size_t needed = length_ + count + 1 + padding_;
        if (needed > capacity_ && !grow(needed)) return false;
        memcpy(text_ + length_, bytes, count);
        length_ += count;
        return true;
    }

    // Hands out the NUL-terminated line and its length; the caller frees it
    // or hands it back through recycle_log_line.
    char *release(size_t *length) {
        text_[length_] = '\0';
        reader_.returned_line_start = first_line_;
        reader_.returned_line_capacity = capacity_;
        if (length != nullptr) *length = length_;
        reader_.pool.lend({text_, capacity_});
        char *text = text_;
        text_ = nullptr;
        return text;
    }

private:
    // Doubling keeps a line of any length linear in its length.
    bool grow(size_t needed) {
        size_t capacity = capacity_ * 2;
        if (capacity < needed) capacity = needed;
        size_t largest = reader_.max_line_length + 1 + padding_;
        if (capacity > largest) capacity = largest;
        char *text = static_cast<char *>(qr_realloc(text_, capacity));
        if (text == nullptr) {
            print_alloc_error(capacity);
            return false;
        }
        text_ = text;
        capacity_ = capacity;
        return true;
    }

    line_reader &reader_;
    unsigned long first_line_;
    size_t padding_;
    char *text_ = nullptr;
    size_t length_ = 0;
    size_t capacity_ = 0;
};

enum class refill_result { data, end_of_input, error };

// Called only once the block is consumed, so it never holds more than one
// block's worth of input.
refill_result refill_block(line_reader &reader, int input_fd) {
    reader.start = reader.end = reader.nul_at = 0;
    if (reader.input_ended) return refill_result::end_of_input;
    ssize_t count;
    do {
        count = read(input_fd, reader.block, reader.read_size);
        // A read of a pipe that has gone quiet ends when the user asks the
        // run to stop; the driver takes the failure for the interrupt.
        if (count < 0 && errno == EINTR && interrupt_requested()) return refill_result::error;
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        print_system_error("Error reading from input file");
        return refill_result::error;
    }
    if (count == 0) {
        reader.input_ended = true;
        return refill_result::end_of_input;
    }
    reader.end = static_cast<size_t>(count);
    reader.bytes_read += reader.end;
    const void *nul = memchr(reader.block, '\0', reader.end);
    reader.nul_at = nul != nullptr ? static_cast<size_t>(static_cast<const char *>(nul) - reader.block)
                                   : reader.end;
    return refill_result::data;
}

// True for an odd number of quotes in [from, to).  A byte-wide counter
// keeps the parity and lets the loop run on whole vectors.
bool odd_quote_count(const char *from, const char *to) {
    uint8_t count = 0;
    for (; from < to; ++from) count += *from == '"';
    return (count & 1) != 0;
}

// Scans block[start, nul_at) for the newline that ends a CSV record,
// carrying the quote state across blocks.  Returns its position, or nul_at
// when the scanned bytes end inside the record.  Quoted newlines are counted
// as they are passed.  Only the parity of the quotes before a newline
// matters, so each physical line is searched for its end once and its
// quotes are counted, instead of stopping at every quote.
size_t find_csv_record_end(line_reader &reader, bool &in_quotes) {
    const char *const base = reader.block;
    const char *pos = base + reader.start;
    const char *const limit = base + reader.nul_at;
    for (;;) {
        auto newline = static_cast<const char *>(memchr(pos, '\n', static_cast<size_t>(limit - pos)));
        const char *stop = newline != nullptr ? newline : limit;
        if (odd_quote_count(pos, stop)) in_quotes = !in_quotes;
        if (newline == nullptr) return reader.nul_at;
        if (!in_quotes) return static_cast<size_t>(newline - base);
        ++reader.line_number;
        pos = newline + 1;
    }
}

// Scans block[start, nul_at) for the next newline; nul_at if there is none.
size_t find_newline(const line_reader &reader) {
    const void *newline =
        memchr(reader.block + reader.start, '\n', reader.nul_at - reader.start);
    return newline != nullptr ? static_cast<size_t>(static_cast<const char *>(newline) - reader.block)
                              : reader.nul_at;
}

enum class line_state { open, complete, failed };

// Decides, after a newline of the stderr format, whether the line goes on:
// only a tab at the start of the next physical line makes it continue, so
// the line is complete only once that byte or the end of the input is seen.
line_state after_stderr_newline(line_reader &reader, int input_fd, line_buffer &line) {
    if (reader.start == reader.end) {
        switch (refill_block(reader, input_fd)) {
        case refill_result::error: return line_state::failed;
        case refill_result::end_of_input: return line_state::complete;
        case refill_result::data: break;
        }
    }
    if (reader.block[reader.start] != '\t') return line_state::complete;
    ++reader.start;  // the tab is dropped, the newline kept
    return line.append("\n", 1) ? line_state::open : line_state::failed;
}

// Consumes the scanned bytes of the block into the line: up to a line end
// (found at end_at < nul_at), or all of them.
line_state consume_block(line_reader &reader, const parse_setup &setup, line_buffer &line,
                         size_t end_at) {
    if (!line.append(reader.block + reader.start, end_at - reader.start)) return line_state::failed;
    if (end_at < reader.nul_at) {
        ++reader.line_number;
        reader.start = end_at + 1;
        if (format_of(setup) != stderr_format) return line_state::complete;
        return after_stderr_newline(reader, setup.input_fd, line);
    }
    reader.start = end_at;
    if (end_at < reader.end) {
        print_error("Error: NUL byte in line %lu of input file\n", reader.line_number + 1);
        return line_state::failed;
    }
    return line_state::open;
}

}  // namespace

char *read_log_line(size_t *length) {
    parse_state &state = parse_unit_state();
    line_reader &reader = state.reader;
    print_debug(3, "Entering read_log_line, current line number %lu\n", reader.line_number + 1);
    const log_format format = format_of(state.setup);
    line_buffer line(reader, reader.line_number + 1, format == json_format ? json_line_padding : 0);
    if (!line.start()) return nullptr;
    bool in_quotes = false;
    for (;;) {
        if (reader.start == reader.end) {
            refill_result refilled = refill_block(reader, state.setup.input_fd);
            if (refilled == refill_result::error) return nullptr;
            if (refilled == refill_result::end_of_input) {
                print_debug(2, "Encountered EOF\n");
                trace_leave("read_log_line");
                return line.release(length);
            }
        }
        size_t end_at =
            format == csv_format ? find_csv_record_end(reader, in_quotes) : find_newline(reader);
        switch (consume_block(reader, state.setup, line, end_at)) {
        case line_state::failed: return nullptr;
        case line_state::complete: trace_leave("read_log_line"); return line.release(length);
        case line_state::open: break;
        }
    }
}

int peek_log_byte() {
    parse_state &state = parse_unit_state();
    line_reader &reader = state.reader;
    if (reader.start == reader.end) {
        switch (refill_block(reader, state.setup.input_fd)) {
        case refill_result::error: return -2;
        case refill_result::end_of_input: return -1;
        case refill_result::data: break;
        }
    }
    return static_cast<unsigned char>(reader.block[reader.start]);
}

bool log_input_exhausted() {
    const line_reader &reader = parse_unit_state().reader;
    return reader.input_ended && reader.start == reader.end;
}

unsigned long long log_bytes_consumed() {
    const line_reader &reader = parse_unit_state().reader;
    return reader.bytes_read - (reader.end - reader.start);
}

unsigned long log_line_number() { return parse_unit_state().reader.line_number; }

void recycle_log_line(char *line) {
    if (line != nullptr) parse_unit_state().reader.pool.give_back(line);
}

void set_log_read_size(size_t bytes) {
    parse_unit_state().reader.read_size = bytes == 0 || bytes > log_block_size ? log_block_size : bytes;
}

void set_max_log_line_length(size_t length) {
    parse_unit_state().reader.max_line_length =
        length == 0 || length > default_max_log_line_length ? default_max_log_line_length : length;
}
