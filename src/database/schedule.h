// The replay schedule: when an item is due, and how far the replay has
// fallen behind.
#pragma once

#include <cstdint>

#include "database/database_state.h"

// The wall-clock moment at which an item recorded at item_time is due: its
// distance from the first item, divided by the speed factor, less the idle
// time skipped so far (with -j), counted from the start of the replay.
time_value target_time(const database_state &state, time_value item_time);

// Records a lag in whole seconds.  When it is a new maximum, prints on
// standard output each behind-schedule warning whose threshold it reaches
// for the first time in this run, in ascending order.
void check_lag(database_state &state, int64_t lag);
