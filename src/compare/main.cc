// quillrun-compare: compares two per-statement reports of replays of the
// same recording.
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "compare/compare_reports.h"
#include "quillrun/messages.h"

namespace {

// The leading "+" stops the scan at the first word that is not an option.
const char option_string[] = "+vht:m:";

void usage(FILE *stream) {
    fprintf(stream,
            "\n"
            "quillrun-compare %s\n"
            "======================\n"
            "\nUsage: quillrun-compare [<options>] <baseline report> <candidate report>\n\n"
            " Compares two reports written with quillrun -R by replays of the same\n"
            "recording, for example against the old and the new server, and prints\n"
            "the statement groups that got slower or faster and the error groups that\n"
            "are new, gone or changed in count.\n"
            " Exit status: 0 no regression, 1 regression, 2 bad input.\n\n"
            "Options:\n"
            "   -t <percent>   (change that counts, default 20)\n"
            "   -m <calls>     (fewest calls of a statement group in both runs, default 10)\n"
            "   -h             (prints this text and exits)\n"
            "   -v             (prints version and exits)\n",
            QUILLRUN_VERSION);
    fflush(stream);
}

int fail_with_usage() {
    usage(stderr);
    return compare_bad_input;
}

bool take_threshold(const char *argument, double *threshold) {
    char *end = nullptr;
    errno = 0;
    double value = strtod(argument, &end);
    if (argument[0] == '\0' || *end != '\0' || errno == ERANGE || !std::isfinite(value) ||
        value <= 0) {
        print_error("Error: -t needs a percentage greater than 0: \"%s\"\n", argument);
        return false;
    }
    *threshold = value / 100;
    return true;
}

bool take_min_calls(const char *argument, uint64_t *calls) {
    char *end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(argument, &end, 10);
    if (argument[0] < '0' || argument[0] > '9' || *end != '\0' || errno == ERANGE) {
        print_error("Error: -m needs a number of calls: \"%s\"\n", argument);
        return false;
    }
    *calls = value;
    return true;
}

int compare_command(int argc, char **argv) {
    compare_settings settings;
    opterr = 0;
    int letter;
    while ((letter = getopt(argc, argv, option_string)) != -1) {
        switch (letter) {
            case 'v': printf("quillrun-compare %s\n", QUILLRUN_VERSION); return 0;
            case 'h': usage(stdout); return 0;
            case 't':
                if (!take_threshold(optarg, &settings.threshold)) return fail_with_usage();
                break;
            case 'm':
                if (!take_min_calls(optarg, &settings.min_calls)) return fail_with_usage();
                break;
            default:
                if (optopt == '?') {
                    usage(stdout);
                    return 0;
                }
                print_error("Error: unknown option -%c\n", optopt);
                return fail_with_usage();
        }
    }
    if (argc - optind != 2) {
        print_error("Error: two reports are needed, the baseline and the candidate\n");
        return fail_with_usage();
    }
    compared_report baseline, candidate;
    if (!compare_read_report(argv[optind], &baseline) ||
        !compare_read_report(argv[optind + 1], &candidate))
        return compare_bad_input;
    return compare_reports(baseline, candidate, settings, stdout);
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return compare_command(argc, argv);
    } catch (const std::bad_alloc &) {
        print_error("Error: not enough memory to compare the reports\n");
    } catch (...) {
        print_error("Error: the reports could not be compared\n");
    }
    return compare_bad_input;
}
