// The parse provider: turns the entries of a server log into replay items
// (its operations are public: include/quillrun/parse.h).
#pragma once

#include <sys/time.h>

#include <memory>

#include "bind_args.h"
#include "log_entry.h"
#include "quillrun/replay_item.h"

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
};
