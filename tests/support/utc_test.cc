#include "support/utc_test.h"

#include <cstdlib>
#include <ctime>

void utc_test::SetUp() {
    const char *zone = getenv("TZ");
    had_zone_ = zone != nullptr;
    if (had_zone_) zone_ = zone;
    setenv("TZ", "UTC", 1);
    tzset();
}

void utc_test::TearDown() {
    if (had_zone_)
        setenv("TZ", zone_.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}
