// Feeds arbitrary bytes as a server log through the parse provider (bit 0
// of the first byte: CSV, unless the log starts with a brace), taking and
// freeing its items until the end or an error.  Duration entries make it
// hold items and hand them on in start order; every item must be handed on
// or freed, and the order must not depend on how the log is read.
#include <cstdlib>
#include <string>

#include "entry_parser_harness.h"
#include "quillrun/parse.h"
#include "quillrun/settings.h"

namespace {

std::string provide_all(const uint8_t *log, size_t size, bool csv, size_t read_size) {
    int fd = memfd_create("log", MFD_CLOEXEC);
    if (fd < 0) abort();
    if (size > 0 && write(fd, log, size) != static_cast<ssize_t>(size)) abort();
    lseek(fd, 0, SEEK_SET);
    reset_parse_state();
    parse_provider_init(nullptr, csv ? 1 : 0, nullptr, nullptr, nullptr, nullptr);
    parse_unit_state().setup.input_fd = fd;
    set_log_read_size(read_size);
    std::string outcome;
    for (;;) {
        replay_item *item = parse_provider();
        if (item == nullptr) {
            outcome += "error";
            break;
        }
        if (item == end_item) break;
        outcome += std::to_string(item->type) + " " + std::to_string(item->session_id) + " " +
                   std::to_string(item->time.tv_sec) + "." + std::to_string(item->time.tv_usec) +
                   " " + std::to_string(item->recorded_duration) + "\n";
        replay_free(item);
    }
    parse_provider_finish();  // closes fd
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("TZ", "Europe/Berlin", 1);
    stats_stream = nullptr;  // no statistics block after every input
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    bool csv = data[0] & 1;
    size_t small_read = (data[0] >> 3) + 1u;
    std::string whole = provide_all(data + 1, size - 1, csv, 0);
    std::string pieces = provide_all(data + 1, size - 1, csv, small_read);
    if (whole != pieces) abort();
    return 0;
}
