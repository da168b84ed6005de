#include "driver.h"

#include <cstring>

#include "quillrun/database.h"
#include "quillrun/parse.h"
#include "quillrun/replayfile.h"
#include "quillrun/report.h"
#include "quillrun/settings.h"

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
    bool file_on_stdout = options.write_file &&
                          (options.outfile == nullptr || strcmp(options.outfile, "-") == 0);
    return file_on_stdout ? stderr : stdout;
}

namespace {

// Pumps items until the provider signals the end.  True on success.
bool pump_items(const pipeline_operations &operations) {
    replay_item *item = operations.provider();
    for (;;) {
        if (item == nullptr) return false;
        if (item == end_item) return true;
        int taken = operations.consumer(item);
        if (taken == 1) {
            item = operations.provider();
        } else if (taken != 0) {
            return false;
        }
    }
}

}  // namespace

int run_pipeline(const pipeline_operations &operations, const run_options &options) {
    stats_stream = choose_stats_stream(options);
    report_configure({options.report_file, options.infile, options.read_file, options.csv != 0,
                      options.dry_run != 0, options.factor, skip_idle != 0});
    bool ok = operations.provider_init(options.infile, options.csv, options.begin_timestamp,
                                       options.end_timestamp, options.database_filter,
                                       options.username_filter) != 0 &&
              operations.consumer_init(options.outfile, options.host, options.port,
                                       options.password, options.factor) != 0 &&
              pump_items(operations) && operations.consumer_complete() != 0;
    if (!ok) stats_stream = nullptr;
    operations.provider_finish();
    operations.consumer_finish(options.dry_run);
    return ok && finish_failed == 0 ? 0 : 1;
}
