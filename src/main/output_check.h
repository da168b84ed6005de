// Refusing a replay file that would overwrite the log it is made from.
#pragma once

#include "driver.h"

// With -f: false, after a message, when the output (the -o file, or
// standard output) is the input (the log file, or standard input) -- the
// same file on the same device, whatever names lead to it.  Checked before
// anything is opened for writing; true in every other case, also when a
// file cannot be examined (opening it reports that).
bool check_output_not_input(const run_options &options);
