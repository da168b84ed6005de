// quillrun: replays the SQL workload recorded in a PostgreSQL server log.
#include "command_line.h"
#include "driver.h"
#include "quillrun/replayfile.h"

int main(int argc, char **argv) {
    run_options options;
    switch (read_command_line(argc, argv, &options)) {
        case command_line_exit_ok: return 0;
        case command_line_exit_error: return 1;
        case command_line_run: break;
    }
    int status = run_pipeline(choose_operations(options), options);
    // The replay file's last records are written by its finish, which
    // cannot fail the pipeline itself; an incomplete file must not exit 0.
    if (options.write_file && file_consumer_write_failed()) status = 1;
    return status;
}
