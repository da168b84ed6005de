// The report's duration histogram: percentiles within 1/128 of the exact
// nearest-rank value, exact below 128 microseconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "report/duration_histogram.h"

namespace {

uint64_t exact_percentile(std::vector<uint64_t> sorted, double fraction) {
    std::sort(sorted.begin(), sorted.end());
    auto rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

std::vector<uint64_t> generate(size_t count, const std::function<double(std::mt19937_64 &)> &draw) {
    std::mt19937_64 random(42);
    std::vector<uint64_t> values;
    for (size_t i = 0; i < count; ++i) values.push_back(static_cast<uint64_t>(draw(random)));
    return values;
}

TEST(DurationHistogram, PercentilesStayWithinTheRelativeErrorBound) {
    std::uniform_real_distribution<double> unit(0, 1);
    struct row {
        const char *what;
        std::vector<uint64_t> durations;
    } rows[] = {
        {"one sample", {4242}},
        {"two samples", {10, 5000000}},
        {"constant", std::vector<uint64_t>(100, 5000)},
        {"below the exact limit", {0, 1, 2, 3, 64, 100, 127, 127}},
        {"bucket edges", {127, 128, 129, 255, 256, 257, 1048575, 1048576, 1099511627899}},
        {"uniform up to a second", generate(10000, [&](auto &r) { return 1 + unit(r) * 1e6; })},
        {"log-uniform from 1 us to 100 s",
         generate(10000, [&](auto &r) { return std::exp(unit(r) * std::log(1e8)); })},
        {"bimodal: fast lookups and slow scans",
         generate(
             10000,
             [&](auto &r) { return unit(r) < 0.9 ? 80 + unit(r) * 40 : 2e5 + unit(r) * 1e4; })},
        {"exponential, mean 2 ms",
         generate(10000, [&](auto &r) { return -2000 * std::log(1 - unit(r)); })},
        {"near the top of the range", {uint64_t{1} << 62, (uint64_t{1} << 62) + 12345}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        duration_histogram histogram;
        uint64_t total = 0;
        for (uint64_t d : r.durations) {
            report_histogram_add(histogram, static_cast<int64_t>(d));
            total += d;
        }
        EXPECT_EQ(histogram.samples, r.durations.size());
        EXPECT_EQ(histogram.total, total);
        EXPECT_EQ(histogram.largest, *std::max_element(r.durations.begin(), r.durations.end()));
        for (double fraction : {0.01, 0.25, 0.5, 0.9, 0.95, 0.99, 1.0}) {
            SCOPED_TRACE(fraction);
            uint64_t exact = exact_percentile(r.durations, fraction);
            uint64_t estimate = report_histogram_percentile(histogram, fraction);
            double error = std::fabs(static_cast<double>(estimate) - static_cast<double>(exact));
            if (exact < 128)
                EXPECT_EQ(estimate, exact);
            else
                EXPECT_LE(error, static_cast<double>(exact) / 128) << estimate << " vs " << exact;
        }
    }
}

TEST(DurationHistogram, BucketsCoverEveryDurationOnceAndNarrowly) {
    std::vector<uint64_t> probes;
    for (uint64_t v = 0; v < 5000; ++v) probes.push_back(v);
    for (int bit = 12; bit < 63; ++bit)
        for (uint64_t offset : {uint64_t{0}, uint64_t{1}, uint64_t{777}})
            probes.push_back((uint64_t{1} << bit) + offset),
                probes.push_back((uint64_t{1} << bit) - 1);
    for (uint64_t v : probes) {
        SCOPED_TRACE(v);
        int bucket = report_histogram_bucket(v);
        uint64_t start = report_histogram_bucket_start(bucket);
        uint64_t next = report_histogram_bucket_start(bucket + 1);
        ASSERT_LE(start, v);
        ASSERT_LT(v, next);
        if (v >= 128)
            ASSERT_LE(next - start, start / 64);
        else
            ASSERT_EQ(next - start, 1u);
    }
}

TEST(DurationHistogram, EmptyNegativeAndSpanOfTheBuckets) {
    duration_histogram histogram;
    EXPECT_EQ(report_histogram_percentile(histogram, 0.5), 0u);
    report_histogram_add(histogram, -5);  // a clock that stepped back
    EXPECT_EQ(report_histogram_percentile(histogram, 0.5), 0u);
    EXPECT_EQ(histogram.total, 0u);

    // From 1 microsecond to 100 seconds: 128 exact buckets and 64 for each
    // of the 20 powers of two above, whatever the number of samples.
    duration_histogram wide;
    for (int i = 0; i < 100000; ++i) report_histogram_add(wide, i % 2 == 0 ? 1 : 100000000);
    EXPECT_LE(wide.counts.size(), 128u + 21 * 64);
    EXPECT_EQ(report_histogram_percentile(wide, 0.5), 1u);
    EXPECT_EQ(report_histogram_percentile(wide, 1.0), 100000000u);
}

}  // namespace
