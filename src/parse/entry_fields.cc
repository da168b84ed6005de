#include "entry_fields.h"

#include <cstring>

#include "log_entry.h"
#include "log_reader.h"
#include "parse_state.h"
#include "quillrun/messages.h"
#include "quillrun/parse.h"

namespace {

// Time stamps in the log's template sort by time when compared byte-wise.
constexpr size_t window_compare_length = 23;

}  // namespace

bool line_before_window(const char *line) {
    const char *begin = parse_unit_state().setup.begin_timestamp;
    return begin != nullptr && strncmp(line, begin, window_compare_length) < 0;
}

bool line_after_window(const char *line) {
    const char *end = parse_unit_state().setup.end_timestamp;
    return end != nullptr && strncmp(line, end, window_compare_length) > 0;
}

bool copy_user_name(const char *field, size_t length, char *user) {
    if (length > static_cast<size_t>(max_name_length)) {
        print_error("Error parsing line %lu: username exceeds %d characters\n", log_line_number(),
                    max_name_length);
        return false;
    }
    memcpy(user, field, length);
    user[length] = '\0';
    return true;
}

bool copy_database_name(const char *field, size_t length, char *database) {
    if (length > static_cast<size_t>(max_name_length)) {
        print_error("Error parsing line %lu: database name exceeds %d characters\n",
                    log_line_number(), max_name_length);
        return false;
    }
    memcpy(database, field, length);
    database[length] = '\0';
    return true;
}

bool convert_timestamp(const char *field, struct timeval *time) {
    const char *error = parse_timestamp(field, time);
    if (error == nullptr) return true;
    print_error("Error parsing line %lu: %s\n", log_line_number(), error);
    return false;
}

bool convert_session_id(const char *field, uint64_t *session_id) {
    const char *error = parse_session_id(field, session_id);
    if (error == nullptr) return true;
    print_error("Error parsing line %lu: %s\n", log_line_number(), error);
    return false;
}
