// Reading and checking the command line.
#pragma once

#include <cstdio>

#include "driver.h"

enum command_line_result {
    command_line_run,         // options accepted: run the pipeline
    command_line_exit_ok,     // -v or a help request was answered: exit 0
    command_line_exit_error,  // an error was reported: exit 1
};

// Reads the options into *options and the process-wide settings, prints
// every message itself, and sets PGCLIENTENCODING from -E.
command_line_result read_command_line(int argc, char **argv, run_options *options);

void usage(FILE *stream);
