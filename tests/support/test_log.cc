#include "support/test_log.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <ostream>

#include "parse/parse_provider.h"
#include "parse/parse_state.h"
#include "support/capture.h"
#include "quillrun/parse.h"

test_log::test_log(const std::string &text, int format, const char *begin, const char *end,
                   const char *prefix) {
    int fd = memfd_create("test_log", MFD_CLOEXEC);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        lseek(fd, 0, SEEK_SET) != 0)
        ADD_FAILURE() << "cannot prepare the memory file";
    start(fd, format, begin, end, prefix);
}

test_log test_log::piped(const std::string &text, int format, size_t piece) {
    // A failing test may stop reading early; the writer must then see an
    // error instead of killing the process.
    signal(SIGPIPE, SIG_IGN);
    int ends[2];
    if (pipe(ends) != 0) ADD_FAILURE() << "cannot make a pipe";
    test_log log;
    log.start(ends[0], format, nullptr, nullptr);
    log.writer_ = std::thread([text, piece, fd = ends[1]] {
        for (size_t at = 0; at < text.size(); at += piece) {
            size_t count = std::min(piece, text.size() - at);
            if (write(fd, text.data() + at, count) != static_cast<ssize_t>(count)) break;
        }
        close(fd);
    });
    return log;
}

void test_log::start(int fd, int format, const char *begin, const char *end,
                     const char *prefix) {
    reset_parse_state();
    if (prefix != nullptr && !parse_set_log_line_prefix(prefix))
        ADD_FAILURE() << "prefix refused: " << prefix;
    parse_provider_init(nullptr, format == csv_format, begin, end, nullptr, nullptr);
    parse_unit_state().setup.input_fd = fd;
    parse_unit_state().setup.json_mode = format == json_format;
    fd_ = fd;
}

test_log::test_log(test_log &&other) noexcept : fd_(other.fd_), writer_(std::move(other.writer_)) {
    other.fd_ = -1;
}

test_log::~test_log() {
    if (fd_ < 0) return;
    close(fd_);
    if (writer_.joinable()) writer_.join();
    reset_parse_state();
}

std::vector<read_line> read_all_lines(size_t max_calls) {
    std::vector<read_line> lines;
    for (size_t call = 0; call < max_calls; ++call) {
        char *text = read_log_line();
        if (text == nullptr) {
            lines.push_back({"<null>", log_line_number()});
            break;
        }
        lines.push_back({text, log_line_number()});
        bool end = text[0] == '\0';
        free(text);
        if (end) break;
    }
    return lines;
}

parse_run parse_all_entries(int format) {
    parse_run run;
    for (int call = 0; call < 10000; ++call) {
        parsed_entry entry;
        struct timeval time = {};
        char user[max_name_length + 1] = "";
        char database[max_name_length + 1] = "";
        char *message = reinterpret_cast<char *>(1);
        char *detail = reinterpret_cast<char *>(1);
        int result = entry_parsers[format](&time, user, database, &entry.session_id, &entry.type,
                                        &message, &detail);
        if (result != 1) {
            EXPECT_EQ(message, nullptr);
            EXPECT_EQ(detail, nullptr);
            run.last_result = result;
            if (result == 0) {
                unsigned long lines_read = log_line_number();
                run.end_is_final = entry_parsers[format](&time, user, database, &entry.session_id,
                                                      &entry.type, &message, &detail) == 0 &&
                                   log_line_number() == lines_read;
            }
            return run;
        }
        entry.seconds = time.tv_sec;
        entry.microseconds = time.tv_usec;
        entry.user = user;
        entry.database = database;
        entry.message = message;
        if (detail != nullptr) entry.detail = detail;
        if (format == stderr_format) free(detail);
        free(message);
        run.entries.push_back(entry);
    }
    ADD_FAILURE() << "the parser never reported the end";
    return run;
}

std::ostream &operator<<(std::ostream &out, const read_line &line) {
    return out << "{\"" << line.text << "\", " << line.line << "}";
}

std::ostream &operator<<(std::ostream &out, const parsed_entry &entry) {
    out << "{" << entry.seconds << "." << entry.microseconds << " " << entry.user << "|"
        << entry.database << "|" << std::hex << entry.session_id << std::dec << " type "
        << entry.type << " \"" << entry.message << "\"";
    if (entry.detail) out << " detail \"" << *entry.detail << "\"";
    return out << "}";
}

parsed_entry entry(long seconds, long milliseconds, const char *user, const char *database,
                   uint64_t session_id, log_type type, const std::string &message,
                   std::optional<std::string> detail) {
    return {seconds, milliseconds * 1000, user, database, session_id, type, message, detail};
}

void check_entry_cases(const std::vector<entry_case> &cases, int format) {
    for (const auto &c : cases) {
        for (size_t read_size : {1, 0}) {
            test_log log(c.log, format, c.begin, c.end, c.prefix);
            set_log_read_size(read_size);
            stream_capture err(stderr);
            parse_run run = parse_all_entries(format);
            std::string messages = err.stop();
            std::string where = std::string(c.name) + ", read size " + std::to_string(read_size);
            EXPECT_EQ(run.entries, c.entries) << where;
            EXPECT_EQ(run.last_result, c.last_result) << where;
            EXPECT_TRUE(run.end_is_final) << where;
            EXPECT_EQ(messages, c.messages) << where;
        }
    }
}
