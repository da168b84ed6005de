#include "bind_args.h"

#include <cstdlib>
#include <cstring>

#include "log_reader.h"
#include "quillrun/alloc.h"
#include "quillrun/messages.h"
#include "quillrun/replay_item.h"

namespace {

// Every assignment starts with a dollar sign, so their count bounds the
// number of values.  No more than an execution item holds are ever stored
// (a longer list is refused first), so a text of dollar signs cannot make
// the array larger than that.
size_t count_value_slots(const char *text) {
    size_t count = 0;
    for (const char *p = strchr(text, '$'); p != nullptr && count < max_exec_values;
         p = strchr(p + 1, '$'))
        ++count;
    return count;
}

// Reads the quoted value that starts after the quote at *position, folding
// doubled quotes into one, and terminates it in place.  Null when the text
// ends inside the value.
const char *read_quoted_value(char *&position) {
    char *value = position + 1;
    char *in = value;
    char *out = value;
    for (;;) {
        if (*in == '\0') return nullptr;
        if (*in == '\'') {
            if (in[1] != '\'') break;
            ++in;
        }
        *out++ = *in++;
    }
    // The terminator may land on the closing quote, so move past it first.
    position = in + 1;
    *out = '\0';
    return value;
}

}  // namespace

bind_values::~bind_values() { free(values_); }

bool parse_bind_args(char *text, bind_values &result) {
    trace_enter("parse_bind_args");
    result.count_ = 0;
    size_t slots = count_value_slots(text);
    if (slots == 0) return true;
    if (slots > result.capacity_) {
        void *grown = qr_realloc(result.values_, slots * sizeof(char *));
        if (grown == nullptr) {
            print_alloc_error(slots * sizeof(char *));
            return false;
        }
        result.values_ = static_cast<const char **>(grown);
        result.capacity_ = slots;
    }

    char *position = text;
    int index = 0;
    while (*position == '$') {
        if (static_cast<unsigned>(index) == max_exec_values) {
            print_error("Error: more than %u bind arguments in line %lu\n", max_exec_values,
                        log_line_number());
            return false;
        }
        ++position;
        while (*position >= '0' && *position <= '9') ++position;
        if (position[0] != ' ' || position[1] != '=' || position[2] != ' ') {
            print_error("Error: bad format in argument %d in line %lu\n", index, log_line_number());
            return false;
        }
        position += 3;
        const char *value = nullptr;
        if (*position == '\'') {
            value = read_quoted_value(position);
            if (value == nullptr) {
                print_error("Error: unexpected end of line in argument %d in line %lu\n", index,
                            log_line_number());
                return false;
            }
        } else if (strncmp(position, "NULL", 4) == 0) {
            position += 4;
        } else {
            print_error("Error: expected NULL in argument %d in line %lu\n", index, log_line_number());
            return false;
        }
        result.values_[index] = value;
        if (position[0] == ',' && position[1] == ' ') position += 2;
        ++index;
    }
    if (*position != '\0') {
        print_error("Error: no dollar sign found in argument %d in line %lu\n", index,
                    log_line_number());
        return false;
    }
    result.count_ = static_cast<size_t>(index);
    print_debug(2, "Parsed %d arguments\n", index);
    trace_leave("parse_bind_args");
    return true;
}
