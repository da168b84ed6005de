#include "database/time_value.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int64_t one_million = 1000000;

int64_t clamp_seconds(int64_t seconds) {
    return std::clamp(seconds, -time_value_limit, time_value_limit);
}

int64_t add_seconds(int64_t a, int64_t b) {
    int64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) return a < 0 ? -time_value_limit : time_value_limit;
    return clamp_seconds(sum);
}

// Truncates toward zero, saturating where the double is out of range.
int64_t truncate_clamped(double x, int64_t limit) {
    if (std::isnan(x)) return 0;
    if (x >= static_cast<double>(limit)) return limit;
    if (x <= -static_cast<double>(limit)) return -limit;
    return static_cast<int64_t>(x);
}

}  // namespace

time_value normalised(time_value t) {
    int64_t carry = t.microseconds / one_million;
    t.microseconds -= carry * one_million;
    if (t.microseconds < 0) {
        t.microseconds += one_million;
        --carry;
    }
    t.seconds = add_seconds(t.seconds, carry);
    return t;
}

time_value operator+(time_value a, time_value b) {
    return normalised({add_seconds(a.seconds, b.seconds), a.microseconds + b.microseconds});
}

time_value operator-(time_value a, time_value b) {
    int64_t seconds;
    if (__builtin_sub_overflow(a.seconds, b.seconds, &seconds))
        seconds = a.seconds < 0 ? -time_value_limit : time_value_limit;
    return normalised({clamp_seconds(seconds), a.microseconds - b.microseconds});
}

bool later_than(time_value a, time_value b) {
    return a.seconds > b.seconds || (a.seconds == b.seconds && a.microseconds > b.microseconds);
}

double in_seconds(time_value t) {
    return static_cast<double>(t.seconds) + static_cast<double>(t.microseconds) / 1000000.0;
}

int64_t in_microseconds(time_value t) {
    constexpr int64_t limit = INT64_MAX / one_million - 1;
    if (t.seconds > limit) return INT64_MAX;
    if (t.seconds < -limit) return INT64_MIN;
    return t.seconds * one_million + t.microseconds;
}

time_value from_timeval(const struct timeval &t) {
    return normalised({clamp_seconds(t.tv_sec), static_cast<int64_t>(t.tv_usec)});
}

bool read_clock(time_value *now) {
    struct timeval clock;
    if (gettimeofday(&clock, nullptr) != 0) return false;
    *now = {clock.tv_sec, clock.tv_usec};
    return true;
}

time_value scaled_offset(time_value offset, double factor) {
    if (factor == 1.0) return offset;
    double x = static_cast<double>(offset.seconds) / factor;
    int64_t whole = truncate_clamped(x, time_value_limit);
    double fraction = (x - static_cast<double>(whole)) * 1000000.0 +
                      static_cast<double>(offset.microseconds) / factor;
    int64_t micro = truncate_clamped(fraction, time_value_limit);
    return {clamp_seconds(whole + micro / one_million), micro % one_million};
}
