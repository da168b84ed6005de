#include "parse_setup.h"

#include <fcntl.h>

#include <cstdio>
#include <ctime>

#include "quillrun/messages.h"
#include "quillrun/parse.h"

parse_setup parse_settings;

namespace {

time_t compute_log_time_base() {
    struct tm base = {};
    base.tm_year = 2000 - 1900;
    base.tm_mon = 0;
    base.tm_mday = 1;
    base.tm_isdst = 0;
    return mktime(&base);
}

}  // namespace

int parse_provider_init(const char *infile, int csv, const char *begin_timestamp,
                        const char *end_timestamp, const char *database_filter,
                        const char *username_filter) {
    trace_enter("parse_provider_init");
    int result = 1;
    parse_settings.input_fd = 0;
    if (infile != nullptr) {
        parse_settings.input_fd = open(infile, O_RDONLY | O_CLOEXEC);
        if (parse_settings.input_fd == -1) {
            perror("Error opening input file");
            result = 0;
        }
    }
    parse_settings.csv_mode = csv;
    parse_settings.begin_timestamp = begin_timestamp;
    parse_settings.end_timestamp = end_timestamp;
    parse_settings.database_filter = database_filter;
    parse_settings.username_filter = username_filter;
    reset_timestamp_cache();
    parse_settings.log_time_base = compute_log_time_base();
    trace_leave("parse_provider_init");
    return result;
}
