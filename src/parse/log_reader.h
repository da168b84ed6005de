// The log line reader: hands the server log to the entry parsers one
// logical line at a time and counts the physical lines.
#pragma once

#include <cstddef>
#include <memory>

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
    buffer_pool() = default;
    buffer_pool(const buffer_pool &) = delete;
    buffer_pool &operator=(const buffer_pool &) = delete;

    // A spare buffer, or none (null text).
    line_storage take();
    void lend(const line_storage &line);
    void give_back(char *text);
    // Frees the spare buffers and forgets the notes.
    void clear();

private:
    // An entry holds at most three lines at once (its own, its detail, the
    // line read ahead); the rest keeps collisions rare.
    static constexpr size_t note_slots = 16;
    static constexpr size_t spare_slots = 4;

    line_storage &note_of(const char *text);

    line_storage notes_[note_slots];
    line_storage spare_[spare_slots];
    size_t spare_count_ = 0;
};

constexpr size_t log_block_size = 128 * 1024;
// In the jsonlog format every line's buffer holds this many bytes after the
// line's terminator: the JSON parser reads ahead in whole vectors.
constexpr size_t json_line_padding = 64;
// The longest string a replay file can hold.
constexpr size_t default_max_log_line_length = 0x7FFFFFFF;

struct line_reader {
    // Physical lines consumed so far (every newline byte, wherever it
    // stands); every "line %lu" message reports it.
    unsigned long line_number = 0;
    // The number of the first physical line of the line returned last, and
    // the size of its buffer.
    unsigned long returned_line_start = 0;
    size_t returned_line_capacity = 0;
    // Bytes read but not yet consumed are block[start, end).  Only the
    // current line (in its own buffer) and this one block are ever held.
    char block[log_block_size];
    size_t start = 0;
    size_t end = 0;
    // Position of the first NUL byte in block[0, end), or end when there is
    // none; scanning stops there.
    size_t nul_at = 0;
    // A read returned 0: the input is exhausted for good.
    bool input_ended = false;
    // Bytes read from the input so far; those consumed are this less the
    // block's unconsumed end - start.
    unsigned long long bytes_read = 0;
    size_t read_size = log_block_size;
    size_t max_line_length = default_max_log_line_length;
    buffer_pool pool;
};

// The next logical line of the log (continuation lines joined in the stderr
// format, quoted line ends kept in CSV, one physical line in the jsonlog
// format) without its final newline, as a heap
// string the caller frees or hands back through recycle_log_line.  The
// empty string at the end of the input or for an empty line; null after a
// reported error.  On success the line's length is stored in *length when
// length is not null.
char *read_log_line(size_t *length = nullptr);

// The first byte of the input not yet consumed, without consuming it: 0 to
// 255, -1 at the end of the input, or -2 after a reported read error.
int peek_log_byte();

// True once the input has ended and every line before its end has been
// handed out: tells the empty string of the end from an empty line.
bool log_input_exhausted();

// Bytes of the input consumed so far (lines handed out, with the bytes
// looked at to finish them).
unsigned long long log_bytes_consumed();

// Physical lines consumed so far: the line_number of the reader.
unsigned long log_line_number();

// Takes back a line that read_log_line returned (or a message or detail an
// entry parser made of one) once it is done with, so that its buffer can
// carry a later line.  Any other heap string is simply freed.
void recycle_log_line(char *line);

struct line_recycler {
    void operator()(char *text) const { recycle_log_line(text); }
};
// A line from read_log_line, recycled unless handed on.
using owned_line = std::unique_ptr<char, line_recycler>;

// Test hooks; a reset of the parse state restores both defaults.  Each read
// request asks for at most `bytes` bytes (0: a whole block), so tests can
// move the block edges.  A logical line longer than `length` bytes is
// refused (0: default_max_log_line_length).
void set_log_read_size(size_t bytes);
void set_max_log_line_length(size_t length);
