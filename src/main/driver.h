// The pipeline driver: runs one provider into one consumer.
#pragma once

#include <cstdio>

#include "quillrun/pipeline.h"

struct pipeline_operations {
    replay_item_provider provider;
    replay_provider_init provider_init;
    replay_provider_finish provider_finish;
    replay_item_consumer consumer;
    replay_consumer_init consumer_init;
    replay_consumer_finish consumer_finish;
    replay_consumer_complete consumer_complete;
};

// What the command line hands to the driver.  Strings live until the
// process ends.
struct run_options {
    bool write_file = false;    // -f
    bool read_file = false;     // -r
    const char *infile = nullptr;
    const char *outfile = nullptr;
    const char *host = nullptr;
    int port = -1;
    const char *password = nullptr;
    double factor = 1.0;
    int csv = 0;
    const char *begin_timestamp = nullptr;
    const char *end_timestamp = nullptr;
    int dry_run = 0;
    const char *database_filter = nullptr;
    const char *username_filter = nullptr;
    const char *report_file = nullptr;  // -R
    const char *line_prefix = nullptr;  // -P, checked
};

// The operations for the form the options select.
pipeline_operations choose_operations(const run_options &options);

// The stream for the statistics.  The replay file itself goes to standard
// output with -f and no file name, "-", or a name of the file standard
// output writes to (/dev/stdout), so the statistics must not.
FILE *choose_stats_stream(const run_options &options);

// Sets stats_stream, initialises, pumps, completes the consumer's work and
// finishes, and checks that the statistics were written.  Returns the exit
// status: 0 when the provider reached its end, the consumer completed and
// everything was written; 1 after any failure; 128 + the signal number
// after an interrupt (SIGINT, SIGTERM) that came before the consumer had
// completed.  An interrupted replay still prints its statistics, after a
// line that says so; an interrupted -f run prints none.
int run_pipeline(const pipeline_operations &operations, const run_options &options);
