// Feeds arbitrary "parameters: " lists to the bind argument parser.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "parse/bind_args.h"
#include "quillrun/replay_item.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    size_t dollars = 0;
    for (const char *p = text.data(); *p != '\0'; ++p) dollars += *p == '$';

    static bind_values buffer;
    if (!parse_bind_args(text.data(), buffer)) return 0;

    // Every value lies inside the text and ends there; there are never more
    // values than assignments could start, nor more than an item holds.
    if (buffer.count() > dollars || buffer.count() > max_exec_values) __builtin_trap();
    const char *begin = text.data();
    const char *end = begin + text.size();
    for (size_t i = 0; i < buffer.count(); ++i) {
        const char *value = buffer.values()[i];
        if (value == nullptr) continue;
        if (value < begin || value >= end) __builtin_trap();
        if (memchr(value, '\0', static_cast<size_t>(end - value)) == nullptr) __builtin_trap();
    }
    return 0;
}
