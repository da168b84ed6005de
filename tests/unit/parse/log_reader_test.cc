#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "parse/log_reader.h"
#include "parse/parse_state.h"
#include "quillrun/alloc.h"
#include "support/capture.h"
#include "support/test_log.h"

namespace {

using lines = std::vector<read_line>;

struct reader_case {
    const char *name;
    int csv;
    std::string input;
    lines expected;
};

const std::vector<reader_case> reader_cases = {
    {"continuations joined", 0, "a\n\tb\n\tc\nd\n", {{"a\nb\nc", 3}, {"d", 4}, {"", 4}}},
    {"a blank is no continuation", 0, "a\n b\n", {{"a", 1}, {" b", 2}, {"", 2}}},
    {"tabs inside a line are plain", 0, "a\tb\n", {{"a\tb", 1}, {"", 1}}},
    {"last line without newline", 0, "a\nb", {{"a", 1}, {"b", 1}, {"", 1}}},
    {"empty input", 0, "", {{"", 0}}},
    {"empty line in the middle", 0, "a\n\nb\n", {{"a", 1}, {"", 2}}},
    {"empty continuation", 0, "a\n\t\nb\n", {{"a\n", 2}, {"b", 3}, {"", 3}}},
    {"tab at the very end", 0, "a\n\t", {{"a\n", 1}, {"", 1}}},
    {"csv quoted newline kept", 1, "a,\"x\ny\",c\nd\n", {{"a,\"x\ny\",c", 2}, {"d", 3}, {"", 3}}},
    {"csv doubled quotes", 1, "\"a\"\"b\"\nc\n", {{"\"a\"\"b\"", 1}, {"c", 2}, {"", 2}}},
    {"csv quote opened mid-field", 1, "x\"\n\"y\nz\n", {{"x\"\n\"y", 2}, {"z", 3}, {"", 3}}},
    {"csv tabs are plain", 1, "a\n\tb\n", {{"a", 1}, {"\tb", 2}, {"", 2}}},
    {"csv open quote swallows the rest", 1, "a,\"x\ny\n", {{"a,\"x\ny\n", 2}, {"", 2}}},
};

// Every read size moves the block edges across every byte of the input;
// the lines must not depend on where the edges fall.
TEST(ReadLogLine, SplitsLogicalLinesWhereverTheBlocksEnd) {
    for (const auto &c : reader_cases) {
        for (size_t read_size : {1, 2, 3, 5, 0}) {
            test_log log(c.input, c.csv);
            set_log_read_size(read_size);
            EXPECT_EQ(read_all_lines(), c.expected) << c.name << ", read size " << read_size;
        }
    }
}

// A log of known logical lines: every third one spreads over continuation
// (stderr) or quoted (CSV) line ends, lengths vary past a block.
struct generated_log {
    std::string text;
    lines expected;
};

generated_log generate_log(int csv, size_t count) {
    generated_log log;
    unsigned long physical = 0;
    for (size_t i = 0; i < count; ++i) {
        std::string body(i * 97 % 3000, static_cast<char>('a' + i % 26));
        std::string line = std::to_string(i) + body;
        std::string written = line;
        if (i % 3 == 0) {
            std::string second = "more " + std::to_string(i);
            line += "\n" + second;
            written = csv ? "\"" + written + "\n" + second + "\"" : written + "\n\t" + second;
            if (csv) line = written;
            ++physical;
        }
        log.text += written + "\n";
        log.expected.push_back({line, ++physical});
    }
    log.expected.push_back({"", physical});
    return log;
}

// The entry parsers skip an empty line in the middle of a log but stop at
// the empty string of the end; only the reader can tell them apart.
TEST(ReadLogLine, TellsAnEmptyLineFromTheEndOfTheInput) {
    struct row {
        const char *input;
        std::vector<bool> exhausted;  // after each line, up to the first end
    } rows[] = {
        {"a\n\nb\n", {false, false, true, true}},
        {"\n\n", {false, true}},
        {"a\n\n", {false, true}},
        {"a", {true, true}},
        {"", {true}},
    };
    for (const auto &r : rows) {
        for (size_t read_size : {1, 0}) {
            test_log log(r.input, 0);
            set_log_read_size(read_size);
            std::vector<bool> exhausted;
            for (;;) {
                char *line = read_log_line();
                ASSERT_NE(line, nullptr);
                bool empty = line[0] == '\0';
                free(line);
                exhausted.push_back(log_input_exhausted());
                if (empty && exhausted.back()) break;
            }
            EXPECT_EQ(exhausted, r.exhausted) << r.input << ", read size " << read_size;
        }
    }
}

// The bytes consumed end with each line's newline, whatever was read ahead.
TEST(ReadLogLine, CountsTheBytesConsumed) {
    struct row {
        int format;
        std::string input;
        std::vector<unsigned long long> consumed;  // after each line, up to the end
    } rows[] = {
        {stderr_format, "a\n\tb\nc\nd", {5, 7, 8}},
        {csv_format, "x,\"1\n2\"\ny\n", {8, 10, 10}},
        {json_format, "{}\n\n{\"a\":1}\n", {3, 4, 12, 12}},
    };
    for (const auto &r : rows) {
        for (size_t read_size : {1, 0}) {
            test_log log(r.input, r.format);
            set_log_read_size(read_size);
            std::vector<unsigned long long> consumed;
            for (size_t line = 0; line < r.consumed.size(); ++line) {
                free(read_log_line());
                consumed.push_back(log_bytes_consumed());
            }
            EXPECT_EQ(consumed, r.consumed) << r.input << ", read size " << read_size;
        }
    }
}

TEST(ReadLogLine, ReadsInputArrivingInSmallPiecesThroughAPipe) {
    for (int csv : {0, 1}) {
        generated_log generated = generate_log(csv, 300);
        for (size_t piece : {1, 7, 4096}) {
            test_log log = test_log::piped(generated.text, csv, piece);
            EXPECT_EQ(read_all_lines(), generated.expected) << "csv " << csv << ", piece " << piece;
        }
    }
}

TEST(ReadLogLine, ReturnsLinesLongerThanABlockWhole) {
    std::string head(300000, 'h');
    std::string tail(200000, 't');
    test_log log(head + "\n\t" + tail + "\nnext\n", 0);
    EXPECT_EQ(read_all_lines(), (lines{{head + "\n" + tail, 2}, {"next", 3}, {"", 3}}));
}

struct refusal_case {
    const char *name;
    int csv;
    std::string input;
    size_t max_length;  // 0: no lower cap
    lines expected;
    const char *message;
};

TEST(ReadLogLine, RefusesNulBytesAndOverlongLinesNamingTheLine) {
    const std::vector<refusal_case> cases = {
        {"nul in a line", 0, std::string("a\nb\0c\nd\n", 8), 0, {{"a", 1}, {"<null>", 1}},
         "Error: NUL byte in line 2 of input file\n"},
        {"nul starting a line", 0, std::string("a\n\0", 3), 0, {{"a", 1}, {"<null>", 1}},
         "Error: NUL byte in line 2 of input file\n"},
        {"nul inside a quoted field", 1, std::string("\"x\ny\0\"\n", 7), 0, {{"<null>", 1}},
         "Error: NUL byte in line 2 of input file\n"},
        {"line at the cap", 0, "abcde\n", 5, {{"abcde", 1}, {"", 1}}, ""},
        {"line over the cap", 0, "abcde\nabcdef\n", 5, {{"abcde", 1}, {"<null>", 1}},
         "Error: log line beginning in line 2 of input file is longer than 5 bytes\n"},
        {"continuation over the cap", 0, "ab\n\tcd\n", 4, {{"<null>", 1}},
         "Error: log line beginning in line 1 of input file is longer than 4 bytes\n"},
        {"csv record over the cap", 1, "\"a\nbc\"\n", 5, {{"<null>", 1}},
         "Error: log line beginning in line 1 of input file is longer than 5 bytes\n"},
    };
    for (const auto &c : cases) {
        for (size_t read_size : {1, 0}) {
            test_log log(c.input, c.csv);
            set_log_read_size(read_size);
            set_max_log_line_length(c.max_length);
            stream_capture err(stderr);
            lines got = read_all_lines();
            EXPECT_EQ(err.stop(), c.message) << c.name;
            EXPECT_EQ(got, c.expected) << c.name << ", read size " << read_size;
        }
    }
}

TEST(ReadLogLine, ReportsReadErrors) {
    test_log log("", 0);
    int directory = open("/", O_RDONLY | O_DIRECTORY);
    parse_setup &setup = parse_unit_state().setup;
    int saved = setup.input_fd;
    setup.input_fd = directory;
    stream_capture err(stderr);
    EXPECT_EQ(read_log_line(), nullptr);
    EXPECT_EQ(err.stop(), "Error reading from input file: Is a directory\n");
    setup.input_fd = saved;
    close(directory);
}

TEST(ReadLogLine, ReportsAllocationFailures) {
    struct row {
        long countdown;
        const char *message;
    } rows[] = {
        {1, "Cannot allocate 1 byte of memory\n"},
        {2, "Cannot allocate 4 bytes of memory\n"},  // "abc" and its terminator
    };
    for (const auto &r : rows) {
        test_log log("abc\n", 0);
        stream_capture err(stderr);
        qr_fail_allocation_after(r.countdown);
        char *line = read_log_line();
        qr_fail_allocation_after(0);
        EXPECT_EQ(line, nullptr);
        free(line);
        EXPECT_EQ(err.stop(), r.message);
    }
}

TEST(ReadLogLine, TracesCallsAndTheEnd) {
    test_log log("a\n", 0);
    debug_level_scope level(3);
    stream_capture err(stderr);
    EXPECT_EQ(read_all_lines(), (lines{{"a", 1}, {"", 1}}));
    EXPECT_EQ(err.stop(),
              "Entering read_log_line, current line number 1\n"
              "Leaving read_log_line\n"
              "Entering read_log_line, current line number 2\n"
              "Encountered EOF\n"
              "Leaving read_log_line\n");
}

}  // namespace
