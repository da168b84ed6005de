// The state of the log parser, shared by the set-up, the line reader, the
// entry parsers, the conversions, the session table, the provider and the
// statistics.  One instance lives for the whole run; everything in it is
// zero, empty or none at start.
#pragma once

#include "csvlog_entry.h"
#include "errlog_entry.h"
#include "jsonlog_entry.h"
#include "log_reader.h"
#include "parse_provider.h"
#include "parse_setup.h"
#include "parse_statistics.h"
#include "prefix_sessions.h"
#include "session_tracking.h"
#include "timestamp.h"

struct parse_state {
    parse_setup setup;
    line_reader reader;
    errlog_parser errlog;
    process_sessions prefix_sessions;
    csvlog_parser csvlog;
    jsonlog_parser jsonlog;
    timestamp_conversion timestamps;
    connection_table connection_hash;
    provider_state provider;
    parse_counters statistics;
    // The first physical line of the entry that the entry parser returned
    // last.
    unsigned long entry_line = 0;
};

parse_state &parse_unit_state();

// Frees everything the state holds (line buffers, a held-back line, the
// sessions, queued items) and returns it to what it was at program start.
// A run parses one log; this is for parsing several in one process.
void reset_parse_state();
