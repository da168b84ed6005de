// Time values of the replay schedule and of all measured durations: signed
// seconds and microseconds as the system clock gives them.  Every sum and
// difference comes back normalised (microseconds from 0 to 999999).
#pragma once

#include <sys/time.h>

#include <cstdint>

struct time_value {
    int64_t seconds = 0;
    int64_t microseconds = 0;
};

// Seconds are kept within +-2^62 so that no later sum can overflow; times
// that far apart only come from nonsense input, and saturating them keeps
// the arithmetic defined.
constexpr int64_t time_value_limit = int64_t{1} << 62;

time_value normalised(time_value t);
time_value operator+(time_value a, time_value b);
time_value operator-(time_value a, time_value b);
// a is strictly later than b.
bool later_than(time_value a, time_value b);
double in_seconds(time_value t);
int64_t in_microseconds(time_value t);  // saturating
time_value from_timeval(const struct timeval &t);

// Reads the wall clock; false when gettimeofday fails (errno is set).
bool read_clock(time_value *now);

// An offset of the recorded workload divided by the speed factor.  The
// arithmetic is that of the schedule: whole seconds scaled in double
// precision, their fraction carried into the microseconds, truncated toward
// zero.  A factor of exactly 1 leaves the offset unchanged.
time_value scaled_offset(time_value offset, double factor);
