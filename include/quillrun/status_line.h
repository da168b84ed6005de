// One line of progress on standard error, for a person watching a long run.
//
// The line exists only while standard error is a terminal that can erase a
// line (TERM set and not "dumb") and no debug output is asked for; in every
// other case nothing here writes a byte, and the per-item cost is the test
// of one flag.  While it is on the screen the cursor stands at its end, so
// everything else written to standard error or standard output must call
// status_line_clear() first: the message helpers, the behind-schedule
// warnings and the driver before the statistics do.
#pragma once

#include <cstddef>
#include <cstdint>

// How often the line is redrawn at most, and how long a run goes before it
// first appears (a short run shows nothing).
constexpr int64_t status_line_period_microseconds = 250000;

// Writes the line's text (without any line end) into text, at most size
// bytes with the terminating NUL.  now is a monotonic clock in seconds.  An
// empty text clears the line.
using status_line_source = void (*)(char *text, size_t size, double now);

// The clock that sources are given: monotonic, in seconds.
double status_line_clock();

// Turns the line on when standard error is fit for it; the source is asked
// for the text whenever the line is due.  True when the line is on.
bool status_line_start(status_line_source source);

// Clears the line for good: later ticks draw nothing.
void status_line_stop();

// Redraws the line now, whatever the time (once the line is on).
void status_line_draw();

// Erases the line from the screen; it comes back at a later tick.
void status_line_erase();

// Called where the program passes often: draws when the line is due.
void status_line_tick_due();

// The flags are read inline on every path that may tick or print; only
// this unit writes them.
struct status_line_flags {
    bool active = false;   // the line is on
    bool visible = false;  // text stands on the screen now
};
extern status_line_flags status_line_state;

inline bool status_line_active() { return status_line_state.active; }
inline void status_line_tick() {
    if (status_line_state.active) status_line_tick_due();
}
inline void status_line_clear() {
    if (status_line_state.visible) status_line_erase();
}
