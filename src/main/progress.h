// What the status line says: the progress of a parse (-f, -n), of reading
// a replay file in a dry run (-r -n), or of a replay.
#pragma once

#include <cstddef>

#include "driver.h"
#include "quillrun/progress.h"

// The line while an input is read without a replay.
struct input_line {
    const char *label = "";      // "Parsing", "Reading"
    input_progress input;
    double elapsed_seconds = 0;  // since the run began; the time left is estimated from it
    double bytes_per_second = -1;  // lately; negative while not known
};

// "Parsing 1.2 GiB of 50.0 GiB (2.4%), 1h02m left, 12,345,678 lines,
// 1,234,567 statements, 85.3 MiB/s": the size, percentage and time left
// only for a regular file, the rest when known.
void format_input_line(const input_line &line, char *text, size_t size);

// The line during a replay.
struct replay_line {
    input_progress input;
    replay_progress replay;
    double statements_per_second = -1;  // lately; negative while not known
};

// "Replaying 1h23m45s of the recording, input 12.4%, lag 3s,
// 245 statements/s, 17 sessions, 2 errors"; without a regular file the
// input is given in bytes.
void format_replay_line(const replay_line &line, char *text, size_t size);

// Starts the status line for the form the options select, when standard
// error is a terminal; it is drawn as the driver and the consumer tick.
void progress_start(const run_options &options);

// Takes the line away before the statistics.
void progress_stop();
