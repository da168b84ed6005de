// Feeds arbitrary bytes as a server log through the stderr and CSV entry
// parsers (bit 0 of the first byte: CSV), freeing what they return, until
// they report the end or an error.
#include "entry_parser_harness.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    start_parsing_in_a_daylight_saving_zone();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    check_both_ways(data, size, data[0] & 1 ? csv_format : stderr_format);
    return 0;
}
