// quillrun: replays the SQL workload recorded in a PostgreSQL server log.
#include "command_line.h"
#include "driver.h"

int main(int argc, char **argv) {
    run_options options;
    switch (read_command_line(argc, argv, &options)) {
        case command_line_exit_ok: return 0;
        case command_line_exit_error: return 1;
        case command_line_run: break;
    }
    return run_pipeline(choose_operations(options), options);
}
