// The state of the report unit, shared by its bookkeeping (report.cc) and
// its file (report_file.cc).  One instance lives for the run; everything in
// it is empty until report_configure and again after report_finish.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quillrun/report.h"
#include "report/duration_histogram.h"
#include "report/stream_digest.h"

constexpr uint32_t no_group = UINT32_MAX;

// The error group's message once the report tells too many messages apart
// to keep another; its errors are still counted under their SQLSTATE.
constexpr const char *too_many_messages = "(further messages not told apart)";

enum class group_kind : uint8_t { simple, prepared };

// Statements share a group when they have the same kind and shape; texts
// the parser rejects are grouped by their exact text.
struct group_key {
    uint64_t hash = 0;  // fingerprint, or hash of the unparsed text
    group_kind kind = group_kind::simple;
    bool parsed = true;
    bool operator==(const group_key &) const = default;
};

struct group_key_hasher {
    size_t operator()(const group_key &key) const {
        return static_cast<size_t>(key.hash ^ (static_cast<uint64_t>(key.kind) << 1 | key.parsed));
    }
};

struct statement_group {
    group_key key;
    std::string text;         // normalised text of the first statement of the group
    std::string parse_error;  // when not parsed
    uint64_t calls = 0;       // simple statements or executions that completed
    uint64_t errors = 0;      // of these, the failed ones
    uint64_t prepares = 0;
    uint64_t prepare_errors = 0;
    duration_histogram durations;  // of the calls
    duration_histogram recorded;   // the durations the log gives for them
};

struct error_group {
    std::string sqlstate;
    std::string message;  // the server's primary message
    uint64_t count = 0;
    std::set<uint32_t> statements;  // indexes of the statement groups
};

struct report_session;

// Looks texts up by string_view, so a lookup copies nothing.
struct text_hasher {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
using text_map = std::unordered_map<std::string, uint32_t, text_hasher, std::equal_to<>>;

// The groups of texts seen before, by kind, so that a statement is parsed
// once per shape rather than once per call: by shape key (shape_key.h)
// where a text has one, otherwise by the text itself.  Bounded in size.
struct text_cache {
    text_map shapes[2];  // by group_kind
    text_map texts[2];
    size_t bytes = 0;
    std::string scratch;  // the key being looked up
};

struct report_state {
    report_run run;
    bool active = false;  // started: a report will be written
    bool broken = false;  // given up for want of memory
    int temp_fd = -1;
    std::string temp_path;
    time_t started_at = 0;
    std::string server_version;
    int server_version_num = 0;
    uint64_t items = 0;
    stream_digest digest;
    std::vector<statement_group> groups;
    std::unordered_map<group_key, uint32_t, group_key_hasher> group_index;
    text_cache known_texts;
    std::vector<error_group> error_groups;
    std::unordered_map<std::string, uint32_t> error_index;  // SQLSTATE, NUL, message
    std::unordered_map<uint64_t, std::unique_ptr<report_session>> sessions;
};

report_state &report_current_state();

// Closes and removes the temporary file, if any, and empties the state.
void report_release();
