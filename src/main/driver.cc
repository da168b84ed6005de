#include "driver.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "progress.h"
#include "quillrun/database.h"
#include "quillrun/interrupt.h"
#include "quillrun/messages.h"
#include "quillrun/parse.h"
#include "quillrun/replayfile.h"
#include "quillrun/report.h"
#include "quillrun/settings.h"
#include "quillrun/status_line.h"

pipeline_operations choose_operations(const run_options &options) {
    pipeline_operations operations{};
    if (options.read_file) {
        operations.provider = file_provider;
        operations.provider_init = file_provider_init;
        operations.provider_finish = file_provider_finish;
    } else {
        operations.provider = parse_provider;
        operations.provider_init = parse_provider_init;
        operations.provider_finish = parse_provider_finish;
    }
    if (options.write_file) {
        operations.consumer = file_consumer;
        operations.consumer_init = file_consumer_init;
        operations.consumer_finish = file_consumer_finish;
        operations.consumer_complete = file_consumer_complete;
    } else {
        operations.consumer = options.dry_run ? database_consumer_dry_run : database_consumer;
        operations.consumer_init = database_consumer_init;
        operations.consumer_finish = database_consumer_finish;
        operations.consumer_complete =
            options.dry_run ? database_consumer_dry_run_complete : database_consumer_complete;
    }
    return operations;
}

FILE *choose_stats_stream(const run_options &options) {
    if (!options.write_file) return stdout;
    if (options.outfile == nullptr || strcmp(options.outfile, "-") == 0) return stderr;
    // Another name for standard output, such as /dev/stdout.
    struct stat named, standard;
    bool file_on_stdout = stat(options.outfile, &named) == 0 && fstat(1, &standard) == 0 &&
                          named.st_dev == standard.st_dev && named.st_ino == standard.st_ino;
    return file_on_stdout ? stderr : stdout;
}

namespace {

enum class run_outcome { success, failure, interrupted };

// A failure reported while an interrupt is pending is the interrupt
// showing through a blocking call (a wait cut short by EINTR), not a fault
// of the input or the server.
run_outcome failed_or_interrupted() {
    return interrupt_requested() ? run_outcome::interrupted : run_outcome::failure;
}

// Pumps items until the provider signals the end.  An interrupt is looked
// for before every call, so that a pending one never meets a fresh wait
// (a read of a slow pipe that no signal would cut short any more).
run_outcome pump_items(const pipeline_operations &operations) {
    for (;;) {
        if (interrupt_requested()) return run_outcome::interrupted;
        replay_item *item = operations.provider();
        for (;;) {
            if (interrupt_requested()) {
                // Never taken by the consumer, so still the driver's to release.
                if (item != nullptr && item != end_item) replay_free(item);
                return run_outcome::interrupted;
            }
            if (item == nullptr) return run_outcome::failure;
            if (item == end_item) return run_outcome::success;
            status_line_tick();
            int taken = operations.consumer(item);
            if (taken == 1) break;
            if (taken != 0) return failed_or_interrupted();
        }
    }
}

run_outcome run_until_complete(const pipeline_operations &operations,
                               const run_options &options) {
    if (options.line_prefix != nullptr && !options.read_file &&
        !parse_set_log_line_prefix(options.line_prefix))
        return run_outcome::failure;
    if (operations.provider_init(options.infile, options.csv, options.begin_timestamp,
                                 options.end_timestamp, options.database_filter,
                                 options.username_filter) == 0 ||
        operations.consumer_init(options.outfile, options.host, options.port, options.password,
                                 options.factor) == 0)
        return failed_or_interrupted();
    progress_start(options);
    run_outcome outcome = pump_items(operations);
    if (outcome != run_outcome::success) return outcome;
    // Once the consumer has completed its work the run has succeeded; a
    // signal after that changes nothing.
    return operations.consumer_complete() != 0 ? run_outcome::success : failed_or_interrupted();
}

// Statistics the user never sees are a failure like any other: a full disk
// or a closed pipe must not end with status 0.
bool statistics_written() {
    if (stats_stream == nullptr) return true;
    int flushed = fflush(stats_stream);
    int flush_errno = errno;
    if (flushed == 0 && ferror(stats_stream) == 0) return true;
    print_error("Error writing statistics: %s\n",
                flushed != 0 ? strerror(flush_errno) : "an earlier write failed");
    return false;
}

}  // namespace

int run_pipeline(const pipeline_operations &operations, const run_options &options) {
    stats_stream = choose_stats_stream(options);
    report_configure({options.report_file, options.infile, options.read_file, options.csv != 0,
                      options.dry_run != 0, options.factor, skip_idle != 0});
    run_outcome outcome = run_until_complete(operations, options);
    progress_stop();
    if (outcome == run_outcome::interrupted && !options.write_file) {
        // The finishes print the statistics of what was replayed so far.
        fprintf(stats_stream,
                "\nReplay interrupted by %s: the statistics cover what was replayed until then\n",
                interrupt_signal_name());
    } else if (outcome == run_outcome::interrupted) {
        // A replay file cut short is no replay file: no statistics, and the
        // consumer finish removes what it wrote to a file it would replace.
        print_error("Interrupted by %s before the replay file was complete\n",
                    interrupt_signal_name());
        stats_stream = nullptr;
    } else if (outcome == run_outcome::failure) {
        stats_stream = nullptr;
    }
    operations.provider_finish();
    operations.consumer_finish(options.dry_run);
    bool written = statistics_written();
    if (outcome == run_outcome::interrupted) return 128 + interrupt_signal();
    return outcome == run_outcome::success && finish_failed == 0 && written ? 0 : 1;
}
