// Comparisons of short texts that run on every log line.  Inline loops
// beat library calls here: the texts are a few bytes long, and most
// differ in their first byte.
#pragma once

#include <cstddef>
#include <cstring>

// True if text begins with the literal prefix.
template <size_t size>
inline bool starts_with(const char *text, const char (&prefix)[size]) {
    return text[0] == prefix[0] && strncmp(text, prefix, size - 1) == 0;
}

// True if both texts are equal.
inline bool same_text(const char *a, const char *b) {
    for (; *a == *b; ++a, ++b)
        if (*a == '\0') return true;
    return false;
}
