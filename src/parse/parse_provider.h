// The parse provider: turns the entries of a server log into replay items
// (its operations are public: include/quillrun/parse.h).
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <memory>

#include "bind_args.h"
#include "log_entry.h"
#include "quillrun/replay_item.h"
#include "reorder_window.h"
#include "workload_gaps.h"

// The entry parser of each format, indexed by log_format.
extern const log_entry_parser entry_parsers[3];

struct item_deleter {
    void operator()(replay_item *item) const { replay_free(item); }
};
using item_ptr = std::unique_ptr<replay_item, item_deleter>;

struct provider_state {
    // Items of the last entry still to be returned; the second slot is
    // only used while the first is.
    item_ptr queue[2];
    struct timeval last_entry_time = {0, 0};
    // Once the entry parser has reported the end it is never asked again.
    bool input_ended = false;
    // The first byte of the log has been looked at for the format.
    bool format_known = false;
    bool warned_time_backwards = false;
    bind_values bind_buffer;

    // Set by the first duration entry: from then on items leave in the
    // order in which their statements began, through the window.
    bool reordering = false;
    reorder_window window;
    // The latest time of any entry read, and of an entry that made items.
    int64_t newest_entry_us = INT64_MIN;
    struct timeval newest_event_time = {0, 0};
    bool have_event_time = false;
    // The key of the item handed on last from the window.
    int64_t last_handed_us = INT64_MIN;
    // Before which no open session can begin anything more, as last
    // computed (when the newest entry time was session_floor_at).
    int64_t session_floor_us = INT64_MIN;
    int64_t session_floor_at = INT64_MIN;
    bool warned_late = false;
    workload_gaps gaps;
    // Of the entry read last: its session (null once it has disconnected),
    // and whether its statement item may still get a duration from a bare
    // duration entry.
    struct connection_entry *entry_session = nullptr;
    bool entry_awaits_duration = false;
};
