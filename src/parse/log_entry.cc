#include "log_entry.h"

#include "text.h"

namespace {

// Indexed by log_type.
const char *const level_words[] = {"DEBUG5",  "DEBUG4",  "DEBUG3", "DEBUG2", "DEBUG1",
                                   "INFO",    "NOTICE",  "WARNING", "ERROR", "LOG",
                                   "FATAL",   "PANIC"};
static_assert(sizeof level_words / sizeof level_words[0] == log_unknown);

}  // namespace

// Only the DEBUG words share their first letter: it picks the one word
// to compare with, or the five DEBUG words.
log_type parse_log_type(const char *word) {
    log_type first, last;
    switch (word[0]) {
    case 'D': first = log_debug5; last = log_debug1; break;
    case 'I': first = last = log_info; break;
    case 'N': first = last = log_notice; break;
    case 'W': first = last = log_warning; break;
    case 'E': first = last = log_error; break;
    case 'L': first = last = log_log; break;
    case 'F': first = last = log_fatal; break;
    case 'P': first = last = log_panic; break;
    default: return log_unknown;
    }
    for (int type = first; type <= last; ++type)
        if (same_text(word, level_words[type])) return static_cast<log_type>(type);
    return log_unknown;
}
