#include "report/duration_histogram.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace {

constexpr int sub_bits = 6;                       // 64 buckets per power of two
constexpr uint64_t exact_limit = 2u << sub_bits;  // 128: below it, one bucket per microsecond

uint64_t bucket_width(int bucket) {
    if (bucket < static_cast<int>(exact_limit)) return 1;
    return uint64_t{1} << ((bucket - exact_limit) / (1u << sub_bits) + 1);
}

}  // namespace

int report_histogram_bucket(uint64_t microseconds) {
    if (microseconds < exact_limit) return static_cast<int>(microseconds);
    int shift = std::bit_width(microseconds) - 1 - sub_bits;  // 1 or more
    uint64_t sub = (microseconds >> shift) - (uint64_t{1} << sub_bits);
    return static_cast<int>(exact_limit + static_cast<uint64_t>(shift - 1) * (1u << sub_bits) +
                            sub);
}

uint64_t report_histogram_bucket_start(int bucket) {
    if (bucket < static_cast<int>(exact_limit)) return static_cast<uint64_t>(bucket);
    uint64_t above = static_cast<uint64_t>(bucket) - exact_limit;
    int shift = static_cast<int>(above / (1u << sub_bits)) + 1;
    uint64_t sub = above % (1u << sub_bits) + (uint64_t{1} << sub_bits);
    return sub << shift;
}

void report_histogram_add(duration_histogram &histogram, int64_t microseconds) {
    uint64_t duration = microseconds > 0 ? static_cast<uint64_t>(microseconds) : 0;
    int bucket = report_histogram_bucket(duration);
    std::vector<uint64_t> &counts = histogram.counts;
    if (counts.empty()) {
        counts.assign(1, 0);
        histogram.first = bucket;
    } else if (bucket < histogram.first) {
        counts.insert(counts.begin(), static_cast<size_t>(histogram.first - bucket), 0);
        histogram.first = bucket;
    } else if (bucket - histogram.first >= static_cast<int>(counts.size())) {
        counts.resize(static_cast<size_t>(bucket - histogram.first) + 1, 0);
    }
    ++counts[static_cast<size_t>(bucket - histogram.first)];
    if (histogram.samples == 0 || duration < histogram.smallest) histogram.smallest = duration;
    if (histogram.samples == 0 || duration > histogram.largest) histogram.largest = duration;
    ++histogram.samples;
    histogram.total += duration;
}

uint64_t report_histogram_percentile(const duration_histogram &histogram, double fraction) {
    if (histogram.samples == 0) return 0;
    double wanted = std::ceil(fraction * static_cast<double>(histogram.samples));
    uint64_t rank =
        static_cast<uint64_t>(std::clamp(wanted, 1.0, static_cast<double>(histogram.samples)));
    uint64_t seen = 0;
    for (size_t i = 0; i < histogram.counts.size(); ++i) {
        seen += histogram.counts[i];
        if (seen < rank) continue;
        int bucket = histogram.first + static_cast<int>(i);
        uint64_t middle = report_histogram_bucket_start(bucket) + (bucket_width(bucket) - 1) / 2;
        return std::clamp(middle, histogram.smallest, histogram.largest);
    }
    return histogram.largest;
}
