// The per-statement report of a replay (-R): statements grouped by their
// shape (the PostgreSQL parser's fingerprint, so that statements that
// differ only in their literals share a group), with calls, errors and
// duration percentiles per group, the errors grouped by SQLSTATE and
// message, and a digest of the item stream that tells whether two reports
// are of the same recording.  Written as JSON when the run ends.
//
// The database unit calls these at a few points of a replay or dry run.
// Without a report file every call returns at once.  The report never
// makes the replay fail: a statement the parser rejects gets a group of its
// own, and a report that cannot be kept (out of memory) is reported once
// and makes only report_finish fail.
#pragma once

#include <libpq-fe.h>

#include <cstdint>

#include "quillrun/replay_item.h"

// What the run is, for the report's header.  The strings must stay valid
// until report_finish.
struct report_run {
    const char *path = nullptr;   // the -R file; null: no report
    const char *input = nullptr;  // the input file name, null for standard input
    bool replay_file = false;     // -r: the input is a replay file
    bool csv = false;             // -c
    bool dry_run = false;         // -n
    double speed_factor = 1.0;
    bool skip_idle = false;  // -j
};

// Forgets any earlier report and remembers the run.  Called by the driver
// before the consumer's set-up, once per run.
void report_configure(const report_run &run);

// Called at the end of the consumer's set-up.  Creates the temporary file
// beside the report file, so that a report that cannot be written fails
// the run before anything is replayed.  1 on success (also without a
// report), 0 after a message.
int report_start();

// Called exactly once for every item the consumer takes, in the order the
// provider produced them, before the item is executed or queued: feeds the
// digest and assigns statements to their groups.  A prepare's text is
// grouped here, and its executions belong to its group (remembered per
// session and statement name).  In a dry run it also counts the call.
void report_note_item(const replay_item *item);

// The server's version, taken from the first connection established.
void report_note_server(const PGconn *connection);

// A session's state in the report, which follows one request from its
// sending to its completion.  Opaque to the database unit.
struct report_session;

// Called when the request of an execute, prepare or exec_prepared item has
// been sent; requests of one session must be sent in the order in which
// their items were noted.  The result is handed to the two calls below for
// that request (null without a report; they accept null).
report_session *report_request_sent(const replay_item *item);

// An error result of the request in flight (PQresultErrorField gives the
// SQLSTATE and primary message).  A request counts as failed once, however
// many error results it has.  An execution whose prepare failed is counted
// under the prepare's error, so that one failed statement is one error.
void report_request_error(report_session *session, const PGresult *result);

// The request has received its last result after `duration_microseconds`.
// Executions and simple statements count as calls of their group; a
// prepare counts as a prepare of its group.
void report_request_done(report_session *session, int64_t duration_microseconds);

// The replay statistics, as the report's totals.  Times in seconds.
struct report_totals {
    double run_time = 0;           // replay: set-up to finish
    double recorded_duration = 0;  // dry run: first to last item
    int64_t max_lag = 0;           // whole seconds
    uint64_t calls = 0;
    uint64_t connections = 0;
    uint64_t max_connections = 0;
    uint64_t statements = 0;  // results less prepares
    uint64_t errors = 0;
    uint64_t prepares = 0;
    uint64_t max_statements = 0;
    double statement_time = 0;
    double max_statement_time = 0;
};

enum report_outcome {
    report_complete,     // the input was replayed to its end
    report_interrupted,  // the replay was stopped before the end of its input
    report_failed,       // the replay ended with an error
};

// Writes the report (to the temporary file, then renamed over the report
// file, so the report file is never seen half written) and releases
// everything the report holds.  Does nothing when no report was started.
// 1 on success, 0 after a message.
int report_finish(const report_totals &totals, report_outcome outcome);
