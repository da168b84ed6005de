// Feeds arbitrary bytes to the replay file reader as a file, reading items
// until the end or the first error.  Run with a modest -rss_limit_mb so that
// an allocation the input does not justify shows up as a failure.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "quillrun/replayfile.h"

namespace {

// The reader takes a file name, so the input goes into an anonymous memory
// file that is opened again through /proc.
bool write_all(int fd, const uint8_t *data, size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written <= 0) return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int fd = memfd_create("replay", 0);
    if (fd < 0) return 0;
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    if (write_all(fd, data, size)) {
        if (file_provider_init(path, 0, nullptr, nullptr, nullptr, nullptr) == 1) {
            for (replay_item *item; (item = file_provider()) != nullptr && item != end_item;)
                replay_free(item);
        }
        file_provider_finish();
    }
    close(fd);
    return 0;
}
