#include "command_line.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "quillrun/alloc.h"
#include "quillrun/messages.h"
#include "quillrun/parse.h"
#include "quillrun/settings.h"

namespace {

const char version[] = "1.5.0";
// The leading "+" keeps glibc from permuting arguments: scanning stops at
// the first word that is not an option, as POSIX requires.
const char option_string[] = "+vfro:h:p:W:s:E:d:cb:e:qjnX:D:U:R:P:";

struct scan_state {
    run_options *options;
    const char *client_encoding = nullptr;
    bool parse_option_given = false;
    bool replay_option_given = false;
};

// The -b and -e texts, cut to the 23 characters of a time stamp; like the
// filter lists they must outlive the scan.
char begin_text[24];
char end_text[24];

const char *null_if_empty(const char *text) { return text[0] == '\0' ? nullptr : text; }

// Converts like strtoul with base 0, requiring a non-empty, wholly consumed
// argument.  False when the text is not a number.
bool convert_unsigned(const char *text, unsigned long *value) {
    char *end = nullptr;
    errno = 0;
    *value = strtoul(text, &end, 0);
    return text[0] != '\0' && *end == '\0';
}

// The -D and -U lists live until the process ends; owned here so that they
// stay reachable for the whole run.
char *database_list = nullptr;
char *username_list = nullptr;

void forget_filter_lists() {
    free(database_list);
    free(username_list);
    database_list = username_list = nullptr;
}

// Appends name to a filter list "\a\b\".  False after an allocation failure
// (reported here).
bool append_filter(char **list, const char *name) {
    size_t name_length = strlen(name);
    if (*list == nullptr) {
        size_t size = name_length + 3;
        auto *created = static_cast<char *>(qr_malloc(size));
        if (created == nullptr) {
            print_alloc_error(size);
            return false;
        }
        snprintf(created, size, "\\%s\\", name);
        *list = created;
        return true;
    }
    size_t old_length = strlen(*list);
    size_t size = old_length + name_length + 2;
    auto *grown = static_cast<char *>(qr_realloc(*list, size));
    if (grown == nullptr) {
        print_alloc_error(size);
        return false;
    }
    snprintf(grown + old_length, size - old_length, "%s\\", name);
    *list = grown;
    return true;
}

// Checks a -b or -e argument and keeps its first 23 characters.
bool take_timestamp(const char *argument, const char *which, char *target) {
    if (const char *error = parse_timestamp(argument, nullptr)) {
        print_error("Error in %s timestamp: %s\n", which, error);
        return false;
    }
    memcpy(target, argument, 23);
    target[23] = '\0';
    return true;
}

// The -W password, copied out of the argument vector; owned here for the
// whole run.
char *password_copy = nullptr;

// Keeps a copy of the password and overwrites the argument in place, so
// that ps and /proc/PID/cmdline no longer show it once it has been read.
// False after an allocation failure (reported here).
bool take_password(char *argument, const char **password) {
    free(password_copy);
    password_copy = nullptr;
    *password = nullptr;
    if (argument[0] == '\0') return true;
    password_copy = qr_strdup(argument);
    if (password_copy == nullptr) {
        print_alloc_error(strlen(argument) + 1);
        return false;
    }
    memset(argument, '*', strlen(argument));
    *password = password_copy;
    return true;
}

enum option_outcome { option_ok, option_error_with_usage, option_error_without_usage };

option_outcome take_port(const char *argument, int *port) {
    unsigned long value;
    if (!convert_unsigned(argument, &value)) {
        print_error("Not a valid port number: \"%s\"\n", argument);
        return option_error_with_usage;
    }
    if (value < 1 || value > 65535) {
        print_error("Port number must be between 1 and 65535\n");
        return option_error_with_usage;
    }
    *port = static_cast<int>(value);
    return option_ok;
}

option_outcome take_debug_level(const char *argument) {
    unsigned long value;
    if (!convert_unsigned(argument, &value)) {
        print_error("Not a valid debug level: \"%s\"\n", argument);
        return option_error_with_usage;
    }
    if (value > 3) {
        print_error("Debug level must be between 0 and 3\n");
        return option_error_with_usage;
    }
    debug_level = static_cast<int>(value);
    return option_ok;
}

option_outcome take_factor(const char *argument, double *factor) {
    char *end = nullptr;
    errno = 0;
    double value = strtod(argument, &end);
    if (argument[0] == '\0' || *end != '\0') {
        print_error("Not a valid floating point number: \"%s\"\n", argument);
        return option_error_with_usage;
    }
    if (errno == ERANGE) {
        perror("Error converting speed factor");
        return option_error_with_usage;
    }
    // "nan" and "inf" convert without error but cannot scale a schedule.
    if (!std::isfinite(value)) {
        print_error("Factor must be a finite number\n");
        return option_error_with_usage;
    }
    if (value <= 0) {
        print_error("Factor must be greater than 0\n");
        return option_error_with_usage;
    }
    *factor = value;
    return option_ok;
}

option_outcome take_option(int letter, char *argument, scan_state &state) {
    run_options &options = *state.options;
    switch (letter) {
        case 'f':
        case 'r':
            if ((letter == 'f' && options.read_file) || (letter == 'r' && options.write_file)) {
                print_error("Error: options -f and -r are mutually exclusive\n");
                return option_error_with_usage;
            }
            (letter == 'f' ? options.write_file : options.read_file) = true;
            return option_ok;
        case 'o': options.outfile = null_if_empty(argument); return option_ok;
        case 'h': options.host = null_if_empty(argument); break;
        case 'p': {
            option_outcome outcome = take_port(argument, &options.port);
            if (outcome != option_ok) return outcome;
            break;
        }
        case 'W':
            if (!take_password(argument, &options.password)) return option_error_without_usage;
            break;
        case 's': {
            option_outcome outcome = take_factor(argument, &options.factor);
            if (outcome != option_ok) return outcome;
            break;
        }
        case 'E': state.client_encoding = null_if_empty(argument); break;
        case 'd': return take_debug_level(argument);
        case 'c': options.csv = 1; state.parse_option_given = true; return option_ok;
        case 'b':
        case 'e': {
            bool begin = letter == 'b';
            char *text = begin ? begin_text : end_text;
            if (!take_timestamp(argument, begin ? "begin" : "end", text))
                return option_error_with_usage;
            (begin ? options.begin_timestamp : options.end_timestamp) = text;
            state.parse_option_given = true;
            return option_ok;
        }
        case 'P':
            if (!check_log_line_prefix(argument)) return option_error_with_usage;
            options.line_prefix = argument;
            state.parse_option_given = true;
            return option_ok;
        case 'q': backslash_quote = 1; return option_ok;
        case 'j': skip_idle = 1; break;
        case 'n': options.dry_run = 1; break;
        case 'X': extra_connstr = argument; break;
        case 'R': options.report_file = null_if_empty(argument); break;
        case 'D':
        case 'U':
            state.parse_option_given = true;
            if (!append_filter(letter == 'D' ? &database_list : &username_list, argument))
                return option_error_without_usage;
            options.database_filter = database_list;
            options.username_filter = username_list;
            return option_ok;
        default: break;
    }
    // Every case that breaks out of the switch is a replay option.
    state.replay_option_given = true;
    return option_ok;
}

bool check_combinations(const scan_state &state) {
    const run_options &options = *state.options;
    if (options.write_file && state.replay_option_given) {
        print_error("Error: cannot specify replay option with -f\n");
        return false;
    }
    if (options.read_file && state.parse_option_given) {
        print_error("Error: cannot specify parse option with -r\n");
        return false;
    }
    // A CSV log carries its fields in columns of its own.
    if (options.line_prefix != nullptr && options.csv) {
        print_error("Error: option -P cannot be used with -c\n");
        return false;
    }
    if (options.outfile != nullptr && !options.write_file) {
        print_error("Error: option -o is only allowed with -f\n");
        return false;
    }
    return true;
}

command_line_result fail_with_usage() {
    usage(stderr);
    return command_line_exit_error;
}

}  // namespace

void usage(FILE *stream) {
    fprintf(stream,
            "\n"
            "quillrun %s\n"
            "==============\n"
            "\nUsage: quillrun [<parse options>] [<replay options>] [<infile>]\n"
            "       quillrun -f [<parse options>] [-o <outfile>] [<infile>]\n"
            "       quillrun -r [<replay options>] [<infile>]\n\n"
            " The first form parses a PostgreSQL log file and replays the\n"
            "statements against a database.\n"
            " The second form parses a PostgreSQL log file and writes the\n"
            "contents to a \"replay file\" that can be replayed with -r.\n"
            " The third form replays a file generated with -f.\n\n"
            "Parse options:\n"
            "   -c             (assume CSV logfile)\n"
            "   -b <timestamp> (start time for parsing logfile)\n"
            "   -e <timestamp> (end time for parsing logfile)\n"
            "   -q             ( \\' in string literal is a single quote)\n\n"
            "   -D <database>  (database name to use as filter for parsing logfile)\n"
            "   -U <username>  (username to use as filter for parsing logfile)\n"
            "   -P <prefix>    (log_line_prefix of a stderr logfile)\n"
            "Replay options:\n"
            "   -h <hostname>\n"
            "   -p <port>\n"
            "   -W <password>  (must be the same for all users)\n"
            "   -s <factor>    (speed factor for replay)\n"
            "   -E <encoding>  (server encoding)\n"
            "   -j             (skip idle time during replay)\n"
            "   -X <options>   (extra libpq connect options)\n\n"
            "   -R <file>      (write a per-statement report as JSON)\n"
            "   -n             (dry-run, will replay file without running queries)\n\n"
            "Debugging:\n"
            "   -d <level>     (level between 1 and 3)\n"
            "   -v             (prints version and exits)\n",
            version);
    fflush(stream);
}

command_line_result read_command_line(int argc, char **argv, run_options *options) {
    scan_state state;
    state.options = options;
    forget_filter_lists();
    errno = 0;
    opterr = 0;
    optind = 0;  // glibc: a full re-initialisation, so the scan can be repeated

    int letter;
    while ((letter = getopt(argc, argv, option_string)) != -1) {
        if (letter == '?') {
            if (optopt == 'h' || optopt == '?') {
                usage(stdout);
                return command_line_exit_ok;
            }
            print_error("Error: unknown option -%c\n", optopt);
            return fail_with_usage();
        }
        if (letter == 'v') {
            printf("quillrun %s\n", version);
            fflush(stdout);
            return command_line_exit_ok;
        }
        option_outcome outcome = take_option(letter, optarg, state);
        if (outcome == option_error_with_usage) return fail_with_usage();
        if (outcome == option_error_without_usage) return command_line_exit_error;
    }

    int remaining = argc - optind;
    if (remaining > 1) {
        print_error("More than one argument given\n");
        return fail_with_usage();
    }
    options->infile = remaining == 1 ? argv[optind] : nullptr;

    if (!check_combinations(state)) return fail_with_usage();

    if (state.client_encoding != nullptr &&
        setenv("PGCLIENTENCODING", state.client_encoding, 1) != 0) {
        print_error("Error setting environment variable\n");
        return command_line_exit_error;
    }
    return command_line_run;
}
