#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "parse/log_reader.h"
#include "quillrun/alloc.h"
#include "support/test_log.h"

namespace {

// A line from read_log_line with the length it reports, checked against
// its text.
std::string next_line() {
    size_t length = 0;
    char *line = read_log_line(&length);
    if (line == nullptr) return "<null>";
    std::string text(line);
    EXPECT_EQ(length, text.size()) << text;
    recycle_log_line(line);
    return text;
}

// Recycled buffers carry later lines of any length; the lines and their
// lengths must come out whole whichever buffer holds them.
TEST(LineReuse, RecycledBuffersCarryLaterLinesWhole) {
    const std::string long_line(5000, 'x');
    test_log log("short\n" + long_line + "\nb\n\tjoined\n" + long_line + "y\nlast\n", 0);
    EXPECT_EQ(next_line(), "short");
    EXPECT_EQ(next_line(), long_line);
    EXPECT_EQ(next_line(), "b\njoined");
    EXPECT_EQ(next_line(), long_line + "y");
    EXPECT_EQ(next_line(), "last");
    EXPECT_EQ(next_line(), "");
}

// Lines held at the same time must have buffers of their own, also when
// others are recycled meanwhile.
TEST(LineReuse, LinesHeldTogetherStayIntact) {
    test_log log("one\ntwo\nthree\nfour\n", 0);
    char *one = read_log_line();
    char *two = read_log_line();
    recycle_log_line(one);
    char *three = read_log_line();
    char *four = read_log_line();
    EXPECT_STREQ(two, "two");
    EXPECT_STREQ(three, "three");
    EXPECT_STREQ(four, "four");
    recycle_log_line(two);
    recycle_log_line(three);
    free(four);  // a caller may also free a line itself
    EXPECT_EQ(next_line(), "");
}

TEST(LineReuse, ARecycledLineSavesTheNextLinesAllocations) {
    test_log log("a line of some length\nshorter\n", 0);
    recycle_log_line(read_log_line());
    qr_fail_allocation_after(1);
    char *line = read_log_line();
    qr_fail_allocation_after(0);
    EXPECT_STREQ(line, "shorter");
    free(line);
}

TEST(LineReuse, OtherStringsAreFreed) {
    // Under the sanitizer build a leak or a bad free fails this test.
    recycle_log_line(nullptr);
    recycle_log_line(strdup("not from the reader"));
}

}  // namespace
