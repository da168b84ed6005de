#include "csvlog_entry.h"

#include <cstring>

#include "entry_fields.h"
#include "log_reader.h"
#include "parse_state.h"
#include "quillrun/messages.h"

namespace {

// Columns, counted from 1.
constexpr int time_column = 1;
constexpr int user_column = 2;
constexpr int database_column = 3;
constexpr int session_id_column = 6;
constexpr int level_column = 12;
constexpr int message_column = 14;
constexpr int detail_column = 15;
// Everything after the last comma of the columns used is left alone.
constexpr int columns_cut = 15;

// Unquotes the field that starts at `field` in place and terminates its
// value.  Returns the start of the next field, or null when the record ends
// before the field's closing comma.
char *cut_csv_field(char *field) {
    char *in = field;
    char *out = field;
    for (;;) {
        // Unquoted runs are short (numbers, empty columns), too short to
        // pay for a library call.
        while (*in != ',' && *in != '"' && *in != '\0') *out++ = *in++;
        if (*in == '\0') return nullptr;
        if (*in == ',') {
            *out = '\0';
            return in + 1;
        }
        // An opening quote is dropped at the field's start and kept
        // anywhere else, so a doubled quote inside quotes yields one.
        if (in != field) *out++ = '"';
        ++in;
        char *closing = strchr(in, '"');
        if (closing == nullptr) return nullptr;
        size_t quoted = static_cast<size_t>(closing - in);
        memmove(out, in, quoted);
        out += quoted;
        in = closing + 1;
    }
}

// Cuts the record's first columns; column[k] is the value of column k + 1.
bool cut_columns(char *record, char *(&column)[columns_cut]) {
    char *field = record;
    for (int k = 0; k < columns_cut; ++k) {
        column[k] = field;
        field = cut_csv_field(field);
        if (field == nullptr) {
            print_error("Error parsing line %lu: comma number %d not found (or unmatched quotes)\n",
                        log_line_number(), k + 1);
            return false;
        }
    }
    return true;
}

enum class search { found, end, error };

search find_record(owned_line &record) {
    for (;;) {
        record.reset(read_log_line());
        if (!record) return search::error;
        if (record.get()[0] == '\0') return search::end;
        if (line_before_window(record.get())) continue;
        if (line_after_window(record.get())) return search::end;
        return search::found;
    }
}

}  // namespace

int parse_csvlog_entry(struct timeval *time, char *user, char *database, uint64_t *session_id,
                       log_type *type, char **message, char **detail) {
    trace_enter("parse_csvlog_entry");
    csvlog_parser &parser = parse_unit_state().csvlog;
    *message = nullptr;
    *detail = nullptr;
    if (parser.input_ended) {
        trace_leave("parse_csvlog_entry");
        return 0;
    }
    owned_line record;
    switch (find_record(record)) {
    case search::error: return -1;
    case search::end:
        parser.input_ended = true;
        trace_leave("parse_csvlog_entry");
        return 0;
    case search::found: break;
    }
    parse_unit_state().entry_line = parse_unit_state().reader.returned_line_start;

    char *column[columns_cut];
    if (!cut_columns(record.get(), column)) return -1;
    if (!convert_timestamp(column[time_column - 1], time)) return -1;
    const char *user_value = column[user_column - 1];
    if (!copy_user_name(user_value, strlen(user_value), user)) return -1;
    const char *database_value = column[database_column - 1];
    if (!copy_database_name(database_value, strlen(database_value), database)) return -1;
    if (!convert_session_id(column[session_id_column - 1], session_id)) return -1;
    *type = parse_log_type(column[level_column - 1]);

    // The detail lies behind the message, so moving the message to the
    // buffer's start leaves it intact.
    char *detail_value = column[detail_column - 1];
    const char *message_value = column[message_column - 1];
    memmove(record.get(), message_value, strlen(message_value) + 1);
    *detail = detail_value[0] != '\0' ? detail_value : nullptr;
    *message = record.release();
    trace_leave("parse_csvlog_entry");
    return 1;
}
