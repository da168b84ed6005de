#include "output_check.h"

#include <sys/stat.h>

#include <cstring>

#include "quillrun/messages.h"

namespace {

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool writes_to_standard_output(const run_options &options) {
    return options.outfile == nullptr || strcmp(options.outfile, "-") == 0;
}

}  // namespace

bool check_output_not_input(const run_options &options) {
    if (!options.write_file) return true;
    struct stat input;
    if ((options.infile != nullptr ? stat(options.infile, &input) : fstat(0, &input)) != 0)
        return true;
    bool to_standard_output = writes_to_standard_output(options);
    struct stat output;
    if ((to_standard_output ? fstat(1, &output) : stat(options.outfile, &output)) != 0) return true;
    // Only a regular file loses its contents: a terminal or a FIFO on both
    // sides is not a file overwritten while it is read.
    if (!S_ISREG(output.st_mode) || !same_file(input, output)) return true;
    if (to_standard_output)
        print_error("Error: standard output is the input file\n");
    else
        print_error("Error: output file \"%s\" is the input file\n", options.outfile);
    return false;
}
