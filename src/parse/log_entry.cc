// What both entry parsers share: the table the provider calls them through,
// the level words, the time window and the checks of the prefix fields.
#include "log_entry.h"

#include <cstring>

#include "entry_parsing.h"
#include "parse_setup.h"
#include "quillrun/messages.h"
#include "quillrun/parse.h"
#include "text.h"

const log_entry_parser entry_parsers[2] = {parse_errlog_entry, parse_csvlog_entry};

namespace {

// Indexed by log_type.
const char *const level_words[] = {"DEBUG5",  "DEBUG4",  "DEBUG3", "DEBUG2", "DEBUG1",
                                   "INFO",    "NOTICE",  "WARNING", "ERROR", "LOG",
                                   "FATAL",   "PANIC"};
static_assert(sizeof level_words / sizeof level_words[0] == log_unknown);

// Time stamps in the log's template sort by time when compared byte-wise.
constexpr size_t window_compare_length = 23;

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

void reset_log_reading() {
    reset_line_reader();
    reset_errlog_parser();
    reset_csvlog_parser();
}

bool line_before_window(const char *line) {
    const char *begin = parse_settings.begin_timestamp;
    return begin != nullptr && strncmp(line, begin, window_compare_length) < 0;
}

bool line_after_window(const char *line) {
    const char *end = parse_settings.end_timestamp;
    return end != nullptr && strncmp(line, end, window_compare_length) > 0;
}

bool copy_user_name(const char *field, size_t length, char *user) {
    if (length > static_cast<size_t>(max_name_length)) {
        print_error("Error parsing line %lu: username exceeds %d characters\n", line_number,
                    max_name_length);
        return false;
    }
    memcpy(user, field, length + 1);
    return true;
}

bool copy_database_name(const char *field, size_t length, char *database) {
    if (length > static_cast<size_t>(max_name_length)) {
        print_error("Error parsing line %lu: database name exceeds %d characters\n", line_number,
                    max_name_length);
        return false;
    }
    memcpy(database, field, length + 1);
    return true;
}

bool convert_timestamp(const char *field, struct timeval *time) {
    const char *error = parse_timestamp(field, time);
    if (error == nullptr) return true;
    print_error("Error parsing line %lu: %s\n", line_number, error);
    return false;
}

bool convert_session_id(const char *field, uint64_t *session_id) {
    const char *error = parse_session_id(field, session_id);
    if (error == nullptr) return true;
    print_error("Error parsing line %lu: %s\n", line_number, error);
    return false;
}
