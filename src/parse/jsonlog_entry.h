// The entry parser of the jsonlog format (log_destination = 'jsonlog'): one
// JSON object per line, with the fields of a CSV record under their names.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <memory>

#include "log_entry.h"

// The JSON parser and its buffers, sized to the longest line seen.
struct json_reader;
struct json_reader_deleter {
    void operator()(json_reader *reader) const;
};

struct jsonlog_parser {
    bool input_ended = false;  // the end was reported: nothing more is read
    std::unique_ptr<json_reader, json_reader_deleter> json;  // made at the first line
};

// A log_entry_parser.  The message and the detail are unescaped into the
// line's own buffer; the detail points into the message's buffer.  Empty
// lines are skipped.
int parse_jsonlog_entry(struct timeval *time, char *user, char *database, uint64_t *session_id,
                        log_type *type, char **message, char **detail);
