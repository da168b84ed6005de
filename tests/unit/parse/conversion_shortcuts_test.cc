// The per-entry conversions take shortcuts (a cached minute, one pass over
// a session id, a hash per statement name); they must not change a result.
#include <gtest/gtest.h>

#include <string>

#include "parse/parse_state.h"
#include "parse/session_tracking.h"
#include "quillrun/parse.h"

namespace {

TEST(ConversionShortcuts, AStampInTheCachedMinuteIsStillChecked) {
    parse_provider_init(nullptr, 0, nullptr, nullptr, nullptr, nullptr);
    struct timeval first = {-7, -7};
    ASSERT_EQ(parse_timestamp("2000-01-01 00:01:00.000", &first), nullptr);
    struct row {
        const char *text;
        const char *error;
    } rows[] = {
        {"2000-01-01 00:01|59.000", "character 17 in timestamp string is '|', expected ':'"},
        {"2000-01-01 00:01:5x.000", "character 19 in timestamp string is 'x', expected digit"},
        {"2000-01-01 00:01:59,000", "character 20 in timestamp string is ',', expected '.'"},
        {"2000-01-01 00:01:59.00x", "character 23 in timestamp string is 'x', expected digit"},
    };
    for (const auto &row : rows) {
        struct timeval result = {-7, -7};
        EXPECT_STREQ(parse_timestamp(row.text, &result), row.error);
        EXPECT_EQ(result.tv_sec, -7) << row.text;
    }
    struct timeval later = {-7, -7};
    ASSERT_EQ(parse_timestamp("2000-01-01 00:01:59.250 UTC", &later), nullptr);
    EXPECT_EQ(later.tv_sec - first.tv_sec, 59);
    EXPECT_EQ(later.tv_usec, 250000);
}

TEST(ConversionShortcuts, ASessionIdTooLongIsReportedBeforeABadCharacter) {
    uint64_t value = 99;
    std::string text = "x" + std::string(1100, 'a');
    EXPECT_STREQ(parse_session_id(text.c_str(), &value),
                 "session id string is more than 1023 characters long");
    text.resize(1023);  // now only the character is wrong
    EXPECT_STREQ(parse_session_id(text.c_str(), &value),
                 "character 1 in session id string is 'x', expected hex digit");
    EXPECT_EQ(value, 99u);
}

TEST(ConversionShortcuts, StatementNamesWithTheSameHashStayApart) {
    // Both names have the FNV-1a hash 0x8efc6235.
    reset_parse_state();
    connection_entry session{1, nullptr, nullptr};
    EXPECT_EQ(add_pstmt(&session, "s31597"), pstmt_status::prepare_needed);
    EXPECT_EQ(add_pstmt(&session, "s618190"), pstmt_status::prepare_needed);
    EXPECT_EQ(add_pstmt(&session, "s31597"), pstmt_status::prepare_not_needed);
    remove_pstmt(&session, "s618190");
    EXPECT_EQ(add_pstmt(&session, "s31597"), pstmt_status::prepare_not_needed);
    EXPECT_EQ(add_pstmt(&session, "s618190"), pstmt_status::prepare_needed);
    EXPECT_EQ(parse_unit_state().statistics.named_statements, 3u);
    remove_all_pstmts(&session);
}

}  // namespace
