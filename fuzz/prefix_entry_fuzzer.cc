// Feeds arbitrary bytes as a stderr log read by a log_line_prefix (-P)
// through the entry parser; the first byte chooses the prefix, the rest is
// the input of the stderr entry fuzzer.  The prefixes cover %q, padding,
// every fixed form, names without %u/%d and sessions told by process id.
#include "entry_parser_harness.h"

namespace {

const char *const prefixes[] = {
    "%m [%p] %q%u@%d ",
    "%t [%p]: user=%u,db=%d,app=%a,client=%h ",
    "%m|%u|%d|%c|",
    "%n %c %l %e %x %v %Q %P %s %i|%b|%r|%a| %p ",
    "%m %-7p|%10u|%-8d|%c ",
    "%m [%p] %q[%c] ",
    "%t %p %% ",
    "%t %q%m [%c] %u ",
};
constexpr size_t prefix_count = sizeof prefixes / sizeof prefixes[0];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    start_parsing_in_a_daylight_saving_zone();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    if (!parse_set_log_line_prefix(prefixes[data[0] % prefix_count])) abort();
    check_both_ways(data + 1, size - 1, stderr_format);
    return 0;
}
