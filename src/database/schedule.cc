#include "database/schedule.h"

#include <cstdio>

#include "quillrun/settings.h"
#include "quillrun/status_line.h"

namespace {

struct lag_warning {
    int32_t threshold;  // seconds
    const char *text;
};

constexpr lag_warning lag_warnings[lag_warning_count] = {
    {10, "10 seconds"}, {30, "30 seconds"}, {60, "1 minute"},   {180, "3 minutes"},
    {600, "10 minutes"}, {1800, "30 minutes"}, {3600, "1 hour"}, {7200, "2 hours"},
    {21600, "6 hours"}, {43200, "12 hours"},  {86400, "1 day"},
};

}  // namespace

time_value target_time(const database_state &state, time_value item_time) {
    time_value offset = scaled_offset(item_time - state.first_item_time, state.speed_factor);
    if (skip_idle) offset = offset - state.skipped_time;
    return state.start_time + offset;
}

void check_lag(database_state &state, int64_t lag) {
    if (lag <= state.counters.stat_max_lag) return;
    state.counters.stat_max_lag = lag;
    for (int i = 0; i < lag_warning_count; ++i) {
        if (state.lag_warned[i] || lag_warnings[i].threshold > state.counters.stat_max_lag) continue;
        status_line_clear();
        printf("Execution is %s behind schedule\n", lag_warnings[i].text);
        fflush(stdout);
        state.lag_warned[i] = true;
    }
}
