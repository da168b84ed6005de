#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "quillrun/parse.h"

namespace {

// Sets TZ for the scope and re-initialises the parser's time base.
class time_zone_scope {
public:
    explicit time_zone_scope(const char *zone) {
        const char *old = getenv("TZ");
        had_old_ = old != nullptr;
        if (had_old_) old_ = old;
        setenv("TZ", zone, 1);
        tzset();
        parse_provider_init(nullptr, 0, nullptr, nullptr, nullptr, nullptr);
    }
    ~time_zone_scope() {
        if (had_old_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        parse_provider_init(nullptr, 0, nullptr, nullptr, nullptr, nullptr);
    }

private:
    bool had_old_;
    std::string old_;
};

struct timeval convert(const char *text) {
    struct timeval result = {-7, -7};
    const char *error = parse_timestamp(text, &result);
    EXPECT_EQ(error, nullptr) << text << ": " << error;
    return result;
}

TEST(ParseTimestamp, ConvertsRelativeToTheBaseInstant) {
    time_zone_scope zone("UTC");
    struct row {
        const char *text;
        long seconds;
        long microseconds;
    } rows[] = {
        {"2000-01-01 00:00:00.000", 0, 0},
        {"2000-01-01 00:00:01.500 CET", 1, 500000},
        {"1999-12-31 23:59:59.000", -1, 0},
        {"2010-13-01 00:00:00.000", 347155200, 0},  // month 13 carries into 2011
        {"2011-01-01 00:00:00.000", 347155200, 0},
        {"2000-01-01 00:00:60.000", 60, 0},          // second 60 is the next minute
        {"2000-01-01 00:01:00.999", 60, 999000},
    };
    for (const auto &row : rows) {
        struct timeval result = convert(row.text);
        EXPECT_EQ(result.tv_sec, row.seconds) << row.text;
        EXPECT_EQ(result.tv_usec, row.microseconds) << row.text;
    }
}

TEST(ParseTimestamp, FollowsTheWallClockAcrossDaylightSavingChanges) {
    time_zone_scope zone("Europe/Vienna");
    // Local midnight of 2000-01-01 is the base, whatever the zone.
    EXPECT_EQ(convert("2000-01-01 00:00:00.000").tv_sec, 0);
    // On 2010-03-28 the clocks jumped from 02:00 to 03:00: one real hour
    // between these readings, but two on the wall clock.
    long before = convert("2010-03-28 01:30:00.000").tv_sec;
    long after = convert("2010-03-28 03:30:00.000").tv_sec;
    EXPECT_EQ(after - before, 7200);
    // Summer readings keep the distance of the wall clock from winter ones.
    EXPECT_EQ(convert("2010-07-01 12:00:00.000").tv_sec - convert("2010-01-01 12:00:00.000").tv_sec,
              181 * 86400);
}

// The zone name after a stamp tells the two sides of a change apart, so
// that the converted times follow the time that really passed: the clock
// jumps from 02:00 CET to 03:00 CEST on 2026-03-29 and falls back from
// 03:00 CEST to 02:00 CET on 2026-10-25.
TEST(ParseTimestamp, TheZoneNameKeepsTimesEvenAcrossDaylightSavingChanges) {
    time_zone_scope zone("Europe/Berlin");
    struct row {
        const char *from;
        const char *to;
        long elapsed_ms;
    } rows[] = {
        {"2026-03-29 01:59:59.999 CET", "2026-03-29 03:00:00.000 CEST", 1},
        {"2026-10-25 02:59:59.999 CEST", "2026-10-25 02:00:00.000 CET", 1},
        // The hour that repeats: the same minute on both sides, converted
        // one after the other, must not share the cached minute.
        {"2026-10-25 02:30:00.000 CEST", "2026-10-25 02:30:10.000 CET", 3610 * 1000},
        {"2026-10-25 02:30:10.000 CET", "2026-10-25 02:30:20.000 CEST", -3590 * 1000},
        {"2026-07-01 12:00:00.000 CEST", "2027-01-01 12:00:00.000 CET", (184 * 86400 + 3600) * 1000L},
        // Without a name, or with one of another zone, a stamp is read as
        // standard time: the wall clock, as before.
        {"2026-03-29 01:30:00.000", "2026-03-29 03:30:00.000", 7200 * 1000},
        {"2026-03-29 01:30:00.000 UTC", "2026-03-29 03:30:00.000 UTC", 7200 * 1000},
        {"2026-07-01 12:00:00.000 CET", "2026-07-01 12:00:00.000", 0},
    };
    for (const auto &row : rows) {
        struct timeval from = convert(row.from);
        struct timeval to = convert(row.to);
        long elapsed = (to.tv_sec - from.tv_sec) * 1000 + (to.tv_usec - from.tv_usec) / 1000;
        EXPECT_EQ(elapsed, row.elapsed_ms) << row.from << " to " << row.to;
    }
    // Winter stamps keep their distance from the base.
    EXPECT_EQ(convert("2000-01-01 00:00:01.000 CET").tv_sec, 1);
}

TEST(ParseTimestamp, ReportsTheFirstDefect) {
    struct row {
        const char *text;
        const char *error;
    } rows[] = {
        {"2000-01-01 00:00:00.00", "timestamp string is less than 23 characters long"},
        {"2010-12-31T10:59:52.243", "character 11 in timestamp string is 'T', expected ' '"},
        {"2010-12-31 10:5x:52.243", "character 16 in timestamp string is 'x', expected digit"},
        {"2010/12-31 10:5x:52.243", "character 5 in timestamp string is '/', expected '-'"},
    };
    for (const auto &row : rows) {
        struct timeval result = {-7, -7};
        const char *error = parse_timestamp(row.text, &result);
        ASSERT_NE(error, nullptr) << row.text;
        EXPECT_STREQ(error, row.error);
        EXPECT_EQ(result.tv_sec, -7);  // untouched
        EXPECT_STREQ(parse_timestamp(row.text, nullptr), row.error);  // validation only
    }
    EXPECT_STREQ(parse_timestamp(nullptr, nullptr), "NULL passed as timestamp string");
    std::string long_text = "2000-01-01 00:00:00.000" + std::string(1001, ' ');
    EXPECT_STREQ(parse_timestamp(long_text.c_str(), nullptr),
                 "timestamp string is more than 1023 characters long");
    long_text.pop_back();  // exactly 1023 characters
    EXPECT_EQ(parse_timestamp(long_text.c_str(), nullptr), nullptr);
}

TEST(ParseSessionId, ConvertsBothRuns) {
    struct row {
        const char *text;
        uint64_t value;
    } rows[] = {
        {"4d1dd3b8.1c4d", 0x4d1dd3b800001c4dULL},
        {"0.0", 0},
        {"ffffffff.ffffffff", 0xffffffffffffffffULL},
        {"1.2", 0x100000002ULL},
    };
    for (const auto &row : rows) {
        uint64_t value = 99;
        EXPECT_EQ(parse_session_id(row.text, &value), nullptr) << row.text;
        EXPECT_EQ(value, row.value) << row.text;
    }
}

TEST(ParseSessionId, RejectsMalformedIdsWithoutTouchingTheResult) {
    struct row {
        const char *text;
        const char *error;
    } rows[] = {
        {"4d1dd3b8", "Missing \".\" in session id string"},
        {"123456789.1", "none of the parts of a session id string may be longer than 8 hex digits"},
        {"1.123456789", "none of the parts of a session id string may be longer than 8 hex digits"},
        {"1.2.3", "character 4 in session id string is '.', expected hex digit"},
        {"4d1dd3b8.1C4D", "character 11 in session id string is 'C', expected hex digit"},
        {"123456789.x", "character 11 in session id string is 'x', expected hex digit"},
        {".1c4d", "none of the parts of a session id string may be empty"},
        {"4d1d.", "none of the parts of a session id string may be empty"},
        {".", "none of the parts of a session id string may be empty"},
    };
    for (const auto &row : rows) {
        uint64_t value = 99;
        const char *error = parse_session_id(row.text, &value);
        ASSERT_NE(error, nullptr) << row.text;
        EXPECT_STREQ(error, row.error);
        EXPECT_EQ(value, 99u);
    }
    uint64_t value = 99;
    EXPECT_STREQ(parse_session_id(nullptr, &value), "NULL passed as session id string");
    std::string long_text(1024, 'a');
    EXPECT_STREQ(parse_session_id(long_text.c_str(), &value),
                 "session id string is more than 1023 characters long");
}

}  // namespace
