// quillrun: replays the SQL workload recorded in a PostgreSQL server log.
#include <signal.h>

#include "command_line.h"
#include "driver.h"
#include "output_check.h"
#include "quillrun/interrupt.h"

int main(int argc, char **argv) {
    // A closed pipe then shows as EPIPE where the write is checked, and is
    // reported, instead of killing the program silently.
    signal(SIGPIPE, SIG_IGN);
    run_options options;
    switch (read_command_line(argc, argv, &options)) {
        case command_line_exit_ok: return 0;
        case command_line_exit_error: return 1;
        case command_line_run: break;
    }
    if (!check_output_not_input(options) || !interrupt_install()) return 1;
    return run_pipeline(choose_operations(options), options);
}
