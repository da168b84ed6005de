// Feeds arbitrary bytes as a jsonlog log through its entry parser, freeing
// what it returns, until it reports the end or an error.
#include "entry_parser_harness.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    start_parsing_in_a_daylight_saving_zone();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    check_both_ways(data, size, json_format);
    return 0;
}
