// How far the parse is through the log, for the status line.
#include <sys/stat.h>

#include "log_reader.h"
#include "parse_state.h"
#include "quillrun/parse.h"
#include "quillrun/progress.h"

void parse_progress(input_progress *progress) {
    const parse_state &state = parse_unit_state();
    *progress = input_progress{};
    progress->bytes_consumed = log_bytes_consumed();
    // Asked afresh each time: a log still being written grows.
    struct stat input;
    if (state.setup.input_fd >= 0 && fstat(state.setup.input_fd, &input) == 0 &&
        S_ISREG(input.st_mode))
        progress->size = input.st_size;
    progress->counts_lines = true;
    progress->lines = log_line_number();
    const parse_counters &counted = state.statistics;
    progress->counts_statements = true;
    progress->statements =
        counted.simple_statements + counted.parametrized_statements + counted.named_executions;
}
