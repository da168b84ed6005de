// Comparisons of short texts that run on every log line.  Inline loops
// beat library calls here: the texts are a few bytes long, and most
// differ in their first byte.
#pragma once

#include <cstddef>

// True if text begins with the literal prefix.  The end of a shorter
// text is a mismatch like any other, so nothing past it is read.
template <size_t size>
inline bool starts_with(const char *text, const char (&prefix)[size]) {
    for (size_t i = 0; i + 1 < size; ++i)
        if (text[i] != prefix[i]) return false;
    return true;
}

// True if both texts are equal.
inline bool same_text(const char *a, const char *b) {
    for (; *a == *b; ++a, ++b)
        if (*a == '\0') return true;
    return false;
}
