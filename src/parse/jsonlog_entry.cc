#include "jsonlog_entry.h"

#include <simdjson.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>

#include "entry_fields.h"
#include "log_reader.h"
#include "parse_state.h"
#include "quillrun/alloc.h"
#include "quillrun/messages.h"
#include "text.h"

static_assert(json_line_padding >= simdjson::SIMDJSON_PADDING);

// On Demand reads only the fields asked for; values passed over are only
// checked for their structure.  Its kernels (finding the structure,
// unescaping strings) are chosen at run time for the processor.
struct json_reader {
    simdjson::ondemand::parser parser;
};

void json_reader_deleter::operator()(json_reader *reader) const { delete reader; }

namespace {

// The server writes the time stamp first; a line that begins so is held
// against the -b/-e window before it is parsed, like a line of the other
// formats.
constexpr char timestamp_start[] = "{\"timestamp\":\"";
// Beyond this the parser's buffers (several times the line) served one
// unusual line: give them back.
constexpr size_t largest_kept_line = 1024 * 1024;

// The fields of an entry as the JSON parser unescaped them, valid until
// the next line is parsed; none for a field the object lacks.
struct json_fields {
    std::optional<std::string_view> timestamp;
    std::optional<std::string_view> user;
    std::optional<std::string_view> dbname;
    std::optional<std::string_view> session_id;
    std::optional<std::string_view> error_severity;
    std::optional<std::string_view> message;
    std::optional<std::string_view> detail;
};

// The JSON parser accepts only UTF-8, while the server writes the bytes of
// a database in another encoding as they are.  Such a line is parsed in a
// copy in which every byte of 128 or more stands for a private-use
// character, U+F780 to U+F7FF, mapped back to its byte in the fields taken.
// (An escape \uF780 to \uF7FF in such a line would come out as a byte too;
// the server writes none: it escapes only control characters.)
constexpr uint32_t byte_code_base = 0xF700;

size_t bytes_as_characters(const char *line, size_t length, char *copy) {
    char *out = copy;
    for (size_t i = 0; i < length; ++i) {
        auto byte = static_cast<unsigned char>(line[i]);
        if (byte < 0x80) {
            *out++ = static_cast<char>(byte);
            continue;
        }
        uint32_t code = byte_code_base + byte;
        *out++ = static_cast<char>(0xE0 | (code >> 12));
        *out++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (code & 0x3F));
    }
    return static_cast<size_t>(out - copy);
}

// Copies at most `limit` bytes of a field, mapping the stand-in characters
// back to their bytes when `restore` is set.  Returns the length written.
size_t copy_field(std::string_view field, char *out, bool restore, size_t limit = SIZE_MAX) {
    if (!restore) {
        size_t length = field.size() < limit ? field.size() : limit;
        if (length > 0) memcpy(out, field.data(), length);
        return length;
    }
    char *start = out;
    const auto *in = reinterpret_cast<const unsigned char *>(field.data());
    const unsigned char *end = in + field.size();
    while (in < end && static_cast<size_t>(out - start) < limit) {
        if (end - in >= 3 && in[0] == 0xEF && (in[1] == 0x9E || in[1] == 0x9F) &&
            (in[2] & 0xC0) == 0x80) {
            uint32_t code = 0xF000 | static_cast<uint32_t>(in[1] & 0x3F) << 6 | (in[2] & 0x3F);
            *out++ = static_cast<char>(code - byte_code_base);
            in += 3;
        } else {
            *out++ = static_cast<char>(*in++);
        }
    }
    return static_cast<size_t>(out - start);
}

enum class json_result { ok, not_utf8, error };

void report_json_error(simdjson::error_code error, size_t length) {
    switch (error) {
    case simdjson::MEMALLOC:
        print_error("Error parsing line %lu: out of memory for a JSON line of %lu bytes\n",
                    log_line_number(), static_cast<unsigned long>(length));
        break;
    case simdjson::CAPACITY:
        print_error("Error parsing line %lu: JSON line of %lu bytes is too long\n",
                    log_line_number(), static_cast<unsigned long>(length));
        break;
    case simdjson::INCORRECT_TYPE:
        print_error("Error parsing line %lu: not a JSON object\n", log_line_number());
        break;
    default:
        print_error("Error parsing line %lu: malformed JSON (%s)\n", log_line_number(),
                    simdjson::error_message(error));
        break;
    }
}

// The field of `key` this entry needs, or null for one it does not.  Keys
// are compared as they stand, escapes and all: the server writes these
// names plain.
std::optional<std::string_view> *wanted_field(json_fields &fields,
                                              simdjson::ondemand::raw_json_string key,
                                              const char **name) {
    std::optional<std::string_view> *field = nullptr;
    const char *raw = key.raw();
    switch (raw[0]) {
    case 't': *name = "timestamp"; field = &fields.timestamp; break;
    case 'u': *name = "user"; field = &fields.user; break;
    case 'd':
        if (raw[1] == 'b') {
            *name = "dbname";
            field = &fields.dbname;
        } else {
            *name = "detail";
            field = &fields.detail;
        }
        break;
    case 's': *name = "session_id"; field = &fields.session_id; break;
    case 'e': *name = "error_severity"; field = &fields.error_severity; break;
    case 'm': *name = "message"; field = &fields.message; break;
    default: return nullptr;
    }
    return key.unsafe_is_equal(*name) ? field : nullptr;
}

// Parses the object in text[0, length) of a buffer of `capacity` bytes
// into fields, which point into the parser's buffers.  An error other than
// not_utf8 has been reported.
json_result parse_object(simdjson::ondemand::parser &parser, const char *text, size_t length,
                         size_t capacity, json_fields &fields) {
    fields = json_fields{};
    simdjson::ondemand::document document;
    simdjson::error_code error = parser.iterate(text, length, capacity).get(document);
    if (error == simdjson::UTF8_ERROR) return json_result::not_utf8;
    simdjson::ondemand::object object;
    if (error == simdjson::SUCCESS) error = document.get_object().get(object);
    if (error != simdjson::SUCCESS) {
        report_json_error(error, length);
        return json_result::error;
    }
    for (auto member : object) {
        simdjson::ondemand::field field;
        if ((error = std::move(member).get(field)) != simdjson::SUCCESS) {
            report_json_error(error, length);
            return json_result::error;
        }
        const char *name = nullptr;
        std::optional<std::string_view> *wanted = wanted_field(fields, field.key(), &name);
        if (wanted == nullptr) continue;
        std::string_view value;
        error = field.value().get_string().get(value);
        if (error == simdjson::INCORRECT_TYPE) {
            print_error("Error parsing line %lu: \"%s\" is not a JSON string\n", log_line_number(),
                        name);
            return json_result::error;
        }
        if (error != simdjson::SUCCESS) {
            report_json_error(error, length);
            return json_result::error;
        }
        if (memchr(value.data(), '\0', value.size()) != nullptr) {
            print_error("Error parsing line %lu: \"%s\" contains a NUL character\n",
                        log_line_number(), name);
            return json_result::error;
        }
        *wanted = value;
    }
    // Only the end of the input may follow the object.
    if (document.current_location().error() != simdjson::OUT_OF_BOUNDS) {
        report_json_error(simdjson::TAPE_ERROR, length);
        return json_result::error;
    }
    return json_result::ok;
}

struct free_deleter {
    void operator()(char *block) const { free(block); }
};

// Fills fields from the line, through a copy for a line that is not UTF-8
// (then *restore is set).  False after a reported error.
bool parse_line(jsonlog_parser &parser, const char *line, size_t length, size_t capacity,
                json_fields &fields, std::unique_ptr<char, free_deleter> &copy, bool *restore) {
    if (parser.json == nullptr) {
        parser.json.reset(new (std::nothrow) json_reader);
        if (parser.json == nullptr) {
            print_alloc_error(sizeof(json_reader));
            return false;
        }
    }
    *restore = false;
    json_result result = parse_object(parser.json->parser, line, length, capacity, fields);
    if (result == json_result::not_utf8) {
        size_t copy_capacity = 3 * length + json_line_padding;
        copy.reset(static_cast<char *>(qr_malloc(copy_capacity)));
        if (copy == nullptr) {
            print_alloc_error(copy_capacity);
            return false;
        }
        size_t copy_length = bytes_as_characters(line, length, copy.get());
        *restore = true;
        result = parse_object(parser.json->parser, copy.get(), copy_length, copy_capacity, fields);
        if (result == json_result::not_utf8) report_json_error(simdjson::UTF8_ERROR, length);
    }
    return result == json_result::ok;
}

// A field copied out of the parser's buffer and terminated, for the
// checks that want a string: at most `size` - 1 bytes of it, so that an
// overlong field still fails them.
template <size_t size>
const char *terminated(char (&buffer)[size], std::string_view field, bool restore) {
    buffer[copy_field(field, buffer, restore, size - 1)] = '\0';
    return buffer;
}

bool require(const std::optional<std::string_view> &field, const char *name) {
    if (field) return true;
    print_error("Error parsing line %lu: no \"%s\" in the JSON object\n", log_line_number(), name);
    return false;
}

enum class search { found, end, error };

search find_line(parse_state &state, owned_line &line, size_t &length) {
    for (;;) {
        line.reset(read_log_line(&length));
        if (!line) return search::error;
        if (length == 0) {
            if (log_input_exhausted()) return search::end;
            print_debug(2, "Skipped empty line %lu\n", log_line_number());
            continue;
        }
        if (starts_with(line.get(), timestamp_start)) {
            const char *stamp = line.get() + strlen(timestamp_start);
            if (line_before_window(stamp)) continue;
            if (line_after_window(stamp)) return search::end;
        }
        state.entry_line = state.reader.line_number;
        return search::found;
    }
}

}  // namespace

int parse_jsonlog_entry(struct timeval *time, char *user, char *database, uint64_t *session_id,
                        log_type *type, char **message, char **detail) {
    trace_enter("parse_jsonlog_entry");
    parse_state &state = parse_unit_state();
    jsonlog_parser &parser = state.jsonlog;
    *message = nullptr;
    *detail = nullptr;
    owned_line line;
    size_t length = 0;
    json_fields fields;
    std::unique_ptr<char, free_deleter> copy;
    bool restore = false;
    char stamp[1024 + 1];
    for (;;) {
        search found = parser.input_ended ? search::end : find_line(state, line, length);
        if (found == search::error) return -1;
        if (found == search::end) {
            parser.input_ended = true;
            trace_leave("parse_jsonlog_entry");
            return 0;
        }
        bool parsed;
        try {
            parsed = parse_line(parser, line.get(), length, state.reader.returned_line_capacity,
                                fields, copy, &restore);
        } catch (...) {
            // The calls used report errors by value; nothing should arrive
            // here.
            print_error("Error parsing line %lu: malformed JSON\n", log_line_number());
            parsed = false;
        }
        if (!parsed) return -1;
        if (!require(fields.timestamp, "timestamp") ||
            !require(fields.session_id, "session_id") ||
            !require(fields.error_severity, "error_severity"))
            return -1;
        terminated(stamp, *fields.timestamp, restore);
        // A line that did not begin with its time stamp is held against
        // the window only now.
        if (starts_with(line.get(), timestamp_start)) break;
        if (line_after_window(stamp)) {
            parser.input_ended = true;
            trace_leave("parse_jsonlog_entry");
            return 0;
        }
        if (!line_before_window(stamp)) break;
    }

    if (!convert_timestamp(stamp, time)) return -1;
    char name[max_name_length + 2];
    terminated(name, fields.user.value_or(std::string_view()), restore);
    if (!copy_user_name(name, strlen(name), user)) return -1;
    terminated(name, fields.dbname.value_or(std::string_view()), restore);
    if (!copy_database_name(name, strlen(name), database)) return -1;
    char id[1024 + 1];
    if (!convert_session_id(terminated(id, *fields.session_id, restore), session_id)) return -1;
    char level[16];
    *type = parse_log_type(terminated(level, *fields.error_severity, restore));

    // Unescaping never lengthens a string, and the escaped message and
    // detail stood in the line with their names and quotes: both fit in
    // its buffer.
    char *buffer = line.get();
    size_t at = copy_field(fields.message.value_or(std::string_view()), buffer, restore);
    buffer[at++] = '\0';
    if (fields.detail && !fields.detail->empty()) {
        *detail = buffer + at;
        buffer[at + copy_field(*fields.detail, buffer + at, restore)] = '\0';
    }
    if (length > largest_kept_line) parser.json.reset();
    *message = line.release();
    trace_leave("parse_jsonlog_entry");
    return 1;
}
