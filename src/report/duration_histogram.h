// Durations counted in logarithmic buckets, for percentiles in bounded
// memory.  Below 128 microseconds every microsecond has a bucket of its
// own; above, each power of two is cut into 64 buckets, so a bucket is at
// most 1/64 of its lower bound wide.  A percentile is answered with the
// middle of the bucket that holds the sample of that rank, kept within the
// smallest and largest duration seen: it lies within 1/128 (0.8%) of that
// sample.  The buckets span only the range of durations seen so far.
#pragma once

#include <cstdint>
#include <vector>

struct duration_histogram {
    std::vector<uint64_t> counts;  // counts[i] is bucket first + i
    int first = 0;
    uint64_t samples = 0;
    uint64_t total = 0;  // sum of the durations
    uint64_t smallest = 0;
    uint64_t largest = 0;
};

// The bucket of a duration, and the lowest duration of a bucket.
int report_histogram_bucket(uint64_t microseconds);
uint64_t report_histogram_bucket_start(int bucket);

// Adds one duration (negative ones count as 0).  May throw std::bad_alloc.
void report_histogram_add(duration_histogram &histogram, int64_t microseconds);

// The duration at the given fraction (0 < fraction <= 1) by nearest rank:
// the sample at rank ceil(fraction * samples), within the bound above.
// 0 for an empty histogram.
uint64_t report_histogram_percentile(const duration_histogram &histogram, double fraction);
