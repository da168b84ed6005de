// Feeds arbitrary statement texts to the statement filter.  The first byte
// picks the backslash setting; the rest is the text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "parse/session_tracking.h"
#include "parse/statement_filter.h"
#include "quillrun/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    backslash_quote = data[0] & 1;
    std::vector<char> text(data + 1, data + size);
    text.push_back('\0');
    const std::vector<char> original = text;

    connection_entry session{1, nullptr, nullptr};
    for (const char *name : {"s1", "S1", "all", "x"}) add_pstmt(&session, name);
    filter_bad_statements(text.data(), &session);
    remove_all_pstmts(&session);

    // The filter may only blank characters out; the text keeps its length.
    size_t length = strlen(original.data());
    if (strlen(text.data()) != length) __builtin_trap();
    for (size_t i = 0; i < length; ++i)
        if (text[i] != original[i] && text[i] != ' ') __builtin_trap();
    return 0;
}
