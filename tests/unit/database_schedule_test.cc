// The replay schedule's arithmetic, lag warnings and duration buckets.
#include <gtest/gtest.h>

#include "database/database_state.h"
#include "database/schedule.h"
#include "database/session_connections.h"
#include "quillrun/settings.h"
#include "support/capture.h"

namespace {

void expect_time(time_value actual, int64_t seconds, int64_t microseconds) {
    EXPECT_EQ(actual.seconds, seconds);
    EXPECT_EQ(actual.microseconds, microseconds);
}

TEST(Schedule, DifferencesAreNormalised) {
    expect_time(time_value{5, 100} - time_value{3, 200}, 1, 999900);
    expect_time(time_value{1, 999999} + time_value{0, 2}, 2, 1);
    expect_time(time_value{0, 0} - time_value{1, 500000}, -2, 500000);
}

TEST(Schedule, OffsetsAreDividedByTheSpeedFactor) {
    struct row {
        time_value offset;
        double factor;
        int64_t seconds, microseconds;
    } rows[] = {
        {{10, 0}, 2.0, 5, 0},
        {{10, 0}, 0.5, 20, 0},
        {{1, 500000}, 2.0, 0, 750000},
        {{1, 0}, 3.0, 0, 333333},        // truncated, not rounded
        {{-2, 500000}, 2.0, -1, 250000},  // -1.5 s becomes -0.75 s
        {{3, 123456}, 1.0, 3, 123456},
        {{7, 5}, 0.25, 28, 20},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.factor);
        expect_time(scaled_offset(r.offset, r.factor), r.seconds, r.microseconds);
    }
}

TEST(Schedule, AbsurdFactorsSaturateInsteadOfOverflowing) {
    time_value far = scaled_offset({1, 0}, 1e-300);
    EXPECT_EQ(far.seconds, time_value_limit);
    EXPECT_EQ(scaled_offset({-1, 0}, 1e-300).seconds, -time_value_limit);
    time_value huge = time_value{INT64_MAX, 0} - time_value{INT64_MIN, 0};
    EXPECT_EQ(huge.seconds, time_value_limit);
}

TEST(Schedule, TargetCountsFromStartAndFirstItem) {
    database_state state;
    state.start_time = {1000, 900000};
    state.first_item_time = {50, 0};
    state.speed_factor = 2.0;
    expect_time(target_time(state, {50, 0}), 1000, 900000);
    expect_time(target_time(state, {60, 0}), 1005, 900000);
    expect_time(target_time(state, {49, 0}), 1000, 400000);  // earlier than the first item

    int saved = skip_idle;
    skip_idle = 1;
    state.skipped_time = {3, 500000};
    expect_time(target_time(state, {60, 0}), 1002, 400000);
    skip_idle = saved;
}

TEST(Schedule, LagWarningsArePrintedOnceInAscendingOrder) {
    struct step {
        int64_t lag;
        const char *printed;
        int64_t max_lag;
    } steps[] = {
        {5, "", 5},
        {65,
         "Execution is 10 seconds behind schedule\n"
         "Execution is 30 seconds behind schedule\n"
         "Execution is 1 minute behind schedule\n",
         65},
        {70, "", 70},
        {20, "", 70},
        {180, "Execution is 3 minutes behind schedule\n", 180},
        {100000,
         "Execution is 10 minutes behind schedule\nExecution is 30 minutes behind schedule\n"
         "Execution is 1 hour behind schedule\nExecution is 2 hours behind schedule\n"
         "Execution is 6 hours behind schedule\nExecution is 12 hours behind schedule\n"
         "Execution is 1 day behind schedule\n",
         100000},
        {200000, "", 200000},
    };
    database_state state;
    for (const auto &s : steps) {
        SCOPED_TRACE(s.lag);
        stream_capture out(stdout);
        check_lag(state, s.lag);
        EXPECT_EQ(out.stop(), s.printed);
        EXPECT_EQ(state.counters.stat_max_lag, s.max_lag);
    }
}

TEST(Schedule, DurationsFallIntoTheirHistogramBuckets) {
    struct row {
        time_value duration;
        int bucket;
    } rows[] = {
        {{0, 0}, 0},      {{0, 20000}, 0},  {{0, 20001}, 1},  {{0, 100000}, 1},
        {{0, 100001}, 2}, {{0, 500000}, 2}, {{0, 500001}, 3}, {{1, 999999}, 3},
        {{2, 0}, 4},      {{3600, 0}, 4},   {{-1, 999000}, 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << r.duration.seconds << "." << r.duration.microseconds);
        EXPECT_EQ(histogram_bucket(r.duration), r.bucket);
    }
}

}  // namespace
