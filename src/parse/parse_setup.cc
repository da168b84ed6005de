#include "parse_setup.h"

#include <fcntl.h>

#include <cstdio>
#include <ctime>

#include "parse_state.h"
#include "prefix_entry.h"
#include "quillrun/messages.h"
#include "quillrun/parse.h"

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
    parse_state &state = parse_unit_state();
    parse_setup &setup = state.setup;
    int result = 1;
    setup.input_fd = 0;
    if (infile != nullptr) {
        setup.input_fd = open(infile, O_RDONLY | O_CLOEXEC);
        if (setup.input_fd == -1) {
            perror("Error opening input file");
            result = 0;
        }
    }
    setup.csv_mode = csv;
    setup.begin_timestamp = begin_timestamp;
    setup.end_timestamp = end_timestamp;
    setup.database_filter = database_filter;
    setup.username_filter = username_filter;
    // The time zone may have changed since the last conversion; tzset
    // also sets the zone names that the conversion compares with.
    tzset();
    state.timestamps.cache = minute_cache{};
    setup.log_time_base = compute_log_time_base();
    if (setup.prefix.time_escape == prefix_escape::time_epoch) {
        if (begin_timestamp != nullptr) setup.begin_epoch_ms = window_epoch_ms(begin_timestamp);
        if (end_timestamp != nullptr) setup.end_epoch_ms = window_epoch_ms(end_timestamp);
    }
    trace_leave("parse_provider_init");
    return result;
}

bool check_log_line_prefix(const char *prefix) {
    static line_prefix scratch;  // too large for the stack
    return compile_line_prefix(prefix, &scratch);
}

bool parse_set_log_line_prefix(const char *prefix) {
    line_prefix &compiled = parse_unit_state().setup.prefix;
    if (!compile_line_prefix(prefix, &compiled)) return false;
    if (compiled.time_escape == prefix_escape::time_s)
        print_error("Warning: log_line_prefix has only %%t: times are known to the second\n");
    return true;
}
