// The log line reader: hands the server log to the entry parsers one
// logical line at a time and counts the physical lines.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "entry_parsing.h"
#include "log_entry.h"
#include "parse_setup.h"
#include "quillrun/alloc.h"
#include "quillrun/messages.h"

unsigned long line_number = 0;

namespace {

constexpr size_t block_size = 128 * 1024;
// The longest string a replay file can hold.
constexpr size_t default_max_line_length = 0x7FFFFFFF;

struct line_reader {
    // Bytes read but not yet consumed are block[start, end).  Only the
    // current line (in its own buffer) and this one block are ever held.
    char block[block_size];
    size_t start = 0;
    size_t end = 0;
    // Position of the first NUL byte in block[0, end), or end when there is
    // none; scanning stops there.
    size_t nul_at = 0;
    // A read returned 0: the input is exhausted for good.
    bool input_ended = false;
    size_t read_size = block_size;
    size_t max_line_length = default_max_line_length;
};

line_reader reader;

struct line_storage {
    char *text = nullptr;
    size_t capacity = 0;
};

// Lines come back through recycle_log_line once their entry is done, and
// their buffers carry the next lines, so that reading a log does not
// allocate for every line.  Only the reader knows how large a buffer is: it
// notes the capacity of each line it hands out, in a slot chosen by the
// line's address, and a line whose note is gone (or one it has no room for)
// is simply freed when it comes back.
class buffer_pool {
public:
    // A spare buffer, or none (null text).
    line_storage take() {
        if (spare_count_ == 0) return {};
        return spare_[--spare_count_];
    }

    void lend(const line_storage &line) { note_of(line.text) = line; }

    void give_back(char *text) {
        line_storage &note = note_of(text);
        if (note.text == text && spare_count_ < spare_slots && note.capacity <= largest_kept) {
            spare_[spare_count_++] = note;
        } else {
            free(text);
        }
        if (note.text == text) note = {};
    }

    void clear() {
        while (spare_count_ > 0) free(spare_[--spare_count_].text);
        for (line_storage &note : notes_) note = {};
    }

private:
    // An entry holds at most three lines at once (its own, its detail, the
    // line read ahead); the rest keeps collisions rare.
    static constexpr size_t note_slots = 16;
    static constexpr size_t spare_slots = 4;
    // Beyond this a buffer only held one unusual line: give it back to the
    // system.
    static constexpr size_t largest_kept = 64 * 1024;

    line_storage &note_of(const char *text) {
        // Fibonacci hashing of the address; malloc aligns to 16 bytes.
        uint64_t address = reinterpret_cast<uintptr_t>(text) >> 4;
        return notes_[(address * 0x9E3779B97F4A7C15u) >> 60];
    }

    line_storage notes_[note_slots];
    line_storage spare_[spare_slots];
    size_t spare_count_ = 0;
};

buffer_pool pool;

// The logical line being gathered.  Owns its buffer until release().
class line_buffer {
public:
    explicit line_buffer(unsigned long first_line) : first_line_(first_line) {}
    ~line_buffer() { free(text_); }
    line_buffer(const line_buffer &) = delete;
    line_buffer &operator=(const line_buffer &) = delete;

    bool start() {
        line_storage spare = pool.take();
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
        if (count > reader.max_line_length - length_) {
            print_error("Error: log line beginning in line %lu of input file is longer than %lu bytes\n",
                        first_line_, static_cast<unsigned long>(reader.max_line_length));
            return false;
        }
        size_t needed = length_ + count + 1;
        if (needed > capacity_ && !grow(needed)) return false;
        memcpy(text_ + length_, bytes, count);
        length_ += count;
        return true;
    }

    // Hands out the NUL-terminated line and its length; the caller frees it
    // or hands it back through recycle_log_line.
    char *release(size_t *length) {
        text_[length_] = '\0';
        if (length != nullptr) *length = length_;
        pool.lend({text_, capacity_});
        char *text = text_;
        text_ = nullptr;
        return text;
    }

private:
    // Doubling keeps a line of any length linear in its length.
    bool grow(size_t needed) {
        size_t capacity = capacity_ * 2;
        if (capacity < needed) capacity = needed;
        if (capacity > reader.max_line_length + 1) capacity = reader.max_line_length + 1;
        char *text = static_cast<char *>(qr_realloc(text_, capacity));
        if (text == nullptr) {
            print_alloc_error(capacity);
            return false;
        }
        text_ = text;
        capacity_ = capacity;
        return true;
    }

    unsigned long first_line_;
    char *text_ = nullptr;
    size_t length_ = 0;
    size_t capacity_ = 0;
};

enum class refill_result { data, end_of_input, error };

// Called only once the block is consumed, so it never holds more than one
// block's worth of input.
refill_result refill_block() {
    reader.start = reader.end = reader.nul_at = 0;
    if (reader.input_ended) return refill_result::end_of_input;
    ssize_t count;
    do {
        count = read(parse_settings.input_fd, reader.block, reader.read_size);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        perror("Error reading from input file");
        return refill_result::error;
    }
    if (count == 0) {
        reader.input_ended = true;
        return refill_result::end_of_input;
    }
    reader.end = static_cast<size_t>(count);
    const void *nul = memchr(reader.block, '\0', reader.end);
    reader.nul_at = nul != nullptr ? static_cast<size_t>(static_cast<const char *>(nul) - reader.block)
                                   : reader.end;
    return refill_result::data;
}

void report_nul_byte() {
    print_error("Error: NUL byte in line %lu of input file\n", line_number + 1);
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
size_t find_csv_record_end(bool &in_quotes) {
    const char *const base = reader.block;
    const char *pos = base + reader.start;
    const char *const limit = base + reader.nul_at;
    for (;;) {
        auto newline = static_cast<const char *>(memchr(pos, '\n', static_cast<size_t>(limit - pos)));
        const char *stop = newline != nullptr ? newline : limit;
        if (odd_quote_count(pos, stop)) in_quotes = !in_quotes;
        if (newline == nullptr) return reader.nul_at;
        if (!in_quotes) return static_cast<size_t>(newline - base);
        ++line_number;
        pos = newline + 1;
    }
}

// Scans block[start, nul_at) for the next newline; nul_at if there is none.
size_t find_newline() {
    const void *newline =
        memchr(reader.block + reader.start, '\n', reader.nul_at - reader.start);
    return newline != nullptr ? static_cast<size_t>(static_cast<const char *>(newline) - reader.block)
                              : reader.nul_at;
}

enum class line_state { open, complete, failed };

// Decides, after a newline of the stderr format, whether the line goes on:
// only a tab at the start of the next physical line makes it continue, so
// the line is complete only once that byte or the end of the input is seen.
line_state after_stderr_newline(line_buffer &line) {
    if (reader.start == reader.end) {
        switch (refill_block()) {
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
line_state consume_block(line_buffer &line, size_t end_at) {
    if (!line.append(reader.block + reader.start, end_at - reader.start)) return line_state::failed;
    if (end_at < reader.nul_at) {
        ++line_number;
        reader.start = end_at + 1;
        if (parse_settings.csv_mode) return line_state::complete;
        return after_stderr_newline(line);
    }
    reader.start = end_at;
    if (end_at < reader.end) {
        report_nul_byte();
        return line_state::failed;
    }
    return line_state::open;
}

}  // namespace

char *read_log_line() { return read_log_line(nullptr); }

char *read_log_line(size_t *length) {
    print_debug(3, "Entering read_log_line, current line number %lu\n", line_number + 1);
    line_buffer line(line_number + 1);
    if (!line.start()) return nullptr;
    bool in_quotes = false;
    for (;;) {
        if (reader.start == reader.end) {
            refill_result refilled = refill_block();
            if (refilled == refill_result::error) return nullptr;
            if (refilled == refill_result::end_of_input) {
                print_debug(2, "Encountered EOF\n");
                trace_leave("read_log_line");
                return line.release(length);
            }
        }
        size_t end_at = parse_settings.csv_mode ? find_csv_record_end(in_quotes) : find_newline();
        switch (consume_block(line, end_at)) {
        case line_state::failed: return nullptr;
        case line_state::complete: trace_leave("read_log_line"); return line.release(length);
        case line_state::open: break;
        }
    }
}

void recycle_log_line(char *line) {
    if (line != nullptr) pool.give_back(line);
}

void reset_line_reader() {
    pool.clear();
    reader.start = reader.end = reader.nul_at = 0;
    reader.input_ended = false;
    reader.read_size = block_size;
    reader.max_line_length = default_max_line_length;
    line_number = 0;
}

void set_log_read_size(size_t bytes) {
    reader.read_size = bytes == 0 || bytes > block_size ? block_size : bytes;
}

void set_max_log_line_length(size_t length) {
    reader.max_line_length =
        length == 0 || length > default_max_line_length ? default_max_line_length : length;
}
