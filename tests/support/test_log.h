// A test log handed to the line reader through a real descriptor, and the
// entries the parsers make of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "parse/log_entry.h"
#include "parse/log_reader.h"
#include "parse/parse_setup.h"

class test_log {
public:
    // The whole text in a memory file, read in the format (a log_format:
    // 0 stderr, 1 CSV, 2 jsonlog).  Reading starts afresh: line count,
    // read-ahead and parser state are forgotten, the window is set, and a
    // stderr log is read by the log_line_prefix `prefix` when it is given.
    test_log(const std::string &text, int format, const char *begin = nullptr,
             const char *end = nullptr, const char *prefix = nullptr);
    // The text written into a pipe by another thread, `piece` bytes per write.
    static test_log piped(const std::string &text, int format, size_t piece);
    ~test_log();
    test_log(test_log &&other) noexcept;
    test_log(const test_log &) = delete;
    test_log &operator=(const test_log &) = delete;

private:
    test_log() = default;
    void start(int fd, int format, const char *begin, const char *end,
               const char *prefix = nullptr);
    int fd_ = -1;
    std::thread writer_;
};

// Calls read_log_line until it returns the empty string or null.  Each line
// is recorded with the line number after it; a final null is recorded as
// "<null>".
struct read_line {
    std::string text;
    unsigned long line;
    bool operator==(const read_line &) const = default;
};
std::vector<read_line> read_all_lines(size_t max_calls = 10000);

struct parsed_entry {
    long seconds = 0;
    long microseconds = 0;
    std::string user;
    std::string database;
    uint64_t session_id = 0;
    log_type type = log_unknown;
    std::string message;
    std::optional<std::string> detail;
    bool operator==(const parsed_entry &) const = default;
};

struct parse_run {
    std::vector<parsed_entry> entries;
    int last_result = 1;  // 0 or -1: how the run ended
    bool end_is_final = true;  // after a 0, another call gave 0 and read nothing
};

// Calls the entry parser of the format until it returns 0 or -1, then,
// after a 0, once more.
parse_run parse_all_entries(int format);

parsed_entry entry(long seconds, long milliseconds, const char *user, const char *database,
                   uint64_t session_id, log_type type, const std::string &message,
                   std::optional<std::string> detail = std::nullopt);

// A log, the entries a parser must make of it, how the parse ends and all
// it prints on standard error, within an optional -b/-e window.
struct entry_case {
    const char *name;
    std::string log;
    std::vector<parsed_entry> entries;
    int last_result;
    std::string messages;
    const char *begin = nullptr;
    const char *end = nullptr;
    const char *prefix = nullptr;  // -P
};

// Parses each case twice, in whole blocks and one byte per read, and checks
// entries, ending, that the end stays final, and the messages.
void check_entry_cases(const std::vector<entry_case> &cases, int format);

std::ostream &operator<<(std::ostream &out, const read_line &line);
std::ostream &operator<<(std::ostream &out, const parsed_entry &entry);
