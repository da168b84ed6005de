// Running the parse provider over a whole log in-process, the way the
// driver does, and keeping what comes out.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quillrun/replay_item.h"

struct parse_options {
    bool csv = false;
    const char *begin_timestamp = nullptr;
    const char *end_timestamp = nullptr;
    const char *database_filter = nullptr;  // "\a\b\"
    const char *username_filter = nullptr;
    int debug_level = 0;
};

struct parsed_item {
    replay_type type;
    uint64_t session_id;
    struct timeval time;
    std::vector<std::optional<std::string>> data;  // as the item holds it
    int64_t recorded_duration = no_recorded_duration;
    // How many lines of the log the provider had read when it handed the
    // item on.
    unsigned long lines_read = 0;

    // "type 0xID SECONDS.MICROS" and the strings, e.g.
    // "connect 0x1 5.250000 alice@shop", "prepare 0x1 5.250000 "s1": SELECT $1",
    // "exec_prepared 0x1 5.250000 "s1" 'a' NULL".
    std::string text() const;
};

struct parse_result {
    std::vector<parsed_item> items;  // up to the end or the failure
    bool failed = false;             // the provider returned null
    bool end_repeats = false;        // after end_item, the next call gave end_item again
    std::string messages;            // standard error during the run
    std::string statistics;          // the block printed at the finish

    std::vector<std::string> texts() const;
};

// Parses log text handed over through a memory file descriptor.
parse_result parse_log_text(const std::string &log, const parse_options &options = {});
// Parses the log file at path.
parse_result parse_log_file(const std::string &path, const parse_options &options = {});

// A CSV log record with the columns the server writes; only the ones the
// parser reads carry the given values.
std::string csv_record(const std::string &time, const std::string &user,
                       const std::string &database, const std::string &session_id,
                       const std::string &level, const std::string &message,
                       const std::string &detail = "");
// The same entry as a jsonlog line: empty fields are left out, as the
// server does.
std::string json_record(const std::string &time, const std::string &user,
                        const std::string &database, const std::string &session_id,
                        const std::string &level, const std::string &message,
                        const std::string &detail = "");
