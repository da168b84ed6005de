#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "parse/bind_args.h"
#include "parse/parse_state.h"
#include "quillrun/alloc.h"
#include "support/capture.h"

namespace {

using value_list = std::vector<std::optional<std::string>>;

struct bind_outcome {
    bool ok;
    value_list values;
    std::string messages;
};

// Parses text at log line 12 into buffer.
bind_outcome parse(const std::string &text, bind_values &buffer) {
    parse_unit_state().reader.line_number = 12;
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    stream_capture err(stderr);
    bool ok = parse_bind_args(copy.data(), buffer);
    bind_outcome outcome{ok, {}, err.stop()};
    for (size_t i = 0; i < buffer.count(); ++i) {
        const char *value = buffer.values()[i];
        outcome.values.push_back(value == nullptr ? std::nullopt
                                                  : std::optional<std::string>(value));
    }
    return outcome;
}

TEST(BindArgs, ReadsValuesInOrderOfAppearance) {
    struct row {
        const char *text;
        value_list values;
    } rows[] = {
        {"$1 = 'abc', $2 = NULL, $3 = 'it''s'", {"abc", std::nullopt, "it's"}},
        {"$1 = 'a, b'", {"a, b"}},
        {"$1 = '$5'", {"$5"}},
        {"$2 = 'b', $1 = 'a'", {"b", "a"}},
        {"$ = 'x'", {"x"}},
        {"$1 = 'x'$2 = 'y'", {"x", "y"}},
        {"$1 = ''", {""}},
        {"$1 = ''''", {"'"}},
        {"$1 = 'a''''b', $2 = 'line\nbreak'", {"a''b", "line\nbreak"}},
        {"$1 = NULL, $2 = NULL", {std::nullopt, std::nullopt}},
        {"", {}},
        {"no dollar at all", {}},
    };
    // One buffer for all rows: lists grow and shrink in a reused array.
    bind_values buffer;
    for (const auto &row : rows) {
        bind_outcome got = parse(row.text, buffer);
        EXPECT_TRUE(got.ok) << row.text;
        EXPECT_EQ(got.values, row.values) << row.text;
        EXPECT_EQ(got.messages, "") << row.text;
    }
}

TEST(BindArgs, ReportsTheArgumentAndLineOfEveryDefect) {
    struct row {
        const char *text;
        const char *message;
    } rows[] = {
        {"$1 = 'x',$2 = 'y'", "Error: no dollar sign found in argument 1 in line 12\n"},
        {"$1 = 'x' junk", "Error: no dollar sign found in argument 1 in line 12\n"},
        {" $1 = 'x'", "Error: no dollar sign found in argument 0 in line 12\n"},
        {"$1='x'", "Error: bad format in argument 0 in line 12\n"},
        {"$1 = 'a', $2 =", "Error: bad format in argument 1 in line 12\n"},
        {"$1", "Error: bad format in argument 0 in line 12\n"},
        {"$1 = 42", "Error: expected NULL in argument 0 in line 12\n"},
        {"$1 = NUL", "Error: expected NULL in argument 0 in line 12\n"},
        {"$1 = NULL, $2 = Nix", "Error: expected NULL in argument 1 in line 12\n"},
        {"$1 = ", "Error: expected NULL in argument 0 in line 12\n"},
        {"$1 = 'x", "Error: unexpected end of line in argument 0 in line 12\n"},
        {"$1 = '", "Error: unexpected end of line in argument 0 in line 12\n"},
        {"$1 = 'a', $2 = 'b''", "Error: unexpected end of line in argument 1 in line 12\n"},
    };
    bind_values buffer;
    for (const auto &row : rows) {
        bind_outcome got = parse(row.text, buffer);
        EXPECT_FALSE(got.ok) << row.text;
        EXPECT_EQ(got.messages, row.message) << row.text;
        EXPECT_EQ(buffer.count(), 0u) << row.text;
    }
}

std::string null_list(size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += i == 0 ? "$1 = NULL" : ", $1 = NULL";
    return text;
}

TEST(BindArgs, RefusesMoreValuesThanAnExecutionCanHold) {
    bind_values buffer;
    bind_outcome most = parse(null_list(65534), buffer);
    EXPECT_TRUE(most.ok);
    EXPECT_EQ(most.values.size(), 65534u);

    bind_outcome too_many = parse(null_list(65535), buffer);
    EXPECT_FALSE(too_many.ok);
    EXPECT_EQ(too_many.messages, "Error: more than 65534 bind arguments in line 12\n");
}

// The value array is sized by the dollar signs of the text, but never
// beyond what an execution can hold: a line of dollar signs must not make
// the parser allocate several times its own size.
TEST(BindArgs, KeepsTheValueArrayWithinTheValueLimit) {
    struct row {
        std::string text;
        const char *message;
    } rows[] = {
        {std::string(1000000, '$'), "Error: bad format in argument 0 in line 12\n"},
        {"$1 = '" + std::string(1000000, '$') + "'", ""},
        {null_list(65534) + ", $1 = '" + std::string(1000000, '$') + "'",
         "Error: more than 65534 bind arguments in line 12\n"},
    };
    for (const auto &row : rows) {
        bind_values buffer;
        qr_fail_allocations_above(65534 * sizeof(char *));
        bind_outcome got = parse(row.text, buffer);
        qr_fail_allocations_above(0);
        EXPECT_EQ(got.messages, row.message) << row.text.substr(0, 40);
        EXPECT_EQ(got.ok, row.message[0] == '\0');
    }
}

TEST(BindArgs, ReportsTheCountAtDebugLevelTwo) {
    bind_values buffer;
    debug_level_scope level(2);
    EXPECT_EQ(parse("$1 = 'abc', $2 = NULL, $3 = 'it''s'", buffer).messages,
              "Parsed 3 arguments\n");
    EXPECT_EQ(parse("", buffer).messages, "");
}

TEST(BindArgs, ReportsAFailedAllocationWithItsSize) {
    bind_values buffer;
    qr_fail_allocation_after(1);
    bind_outcome got = parse("$1 = 'a', $2 = 'b'", buffer);
    qr_fail_allocation_after(0);
    EXPECT_FALSE(got.ok);
    EXPECT_EQ(got.messages,
              "Cannot allocate " + std::to_string(2 * sizeof(char *)) + " bytes of memory\n");
}

}  // namespace
