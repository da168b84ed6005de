// The lock monitor: one extra connection to the target through which the
// scheduler asks which server processes block a session's backend
// (pg_blocking_pids).  It is opened the first time a question is asked,
// with the connection options of the replayed sessions, counts in no
// statistic, and like them is driven without ever waiting for the server:
// its socket joins the poll of the busy sessions.
//
// It never fails the replay.  When it cannot be had or does not answer
// (refused, no permission, a server without pg_blocking_pids, no answer in
// time), it prints one warning and becomes unavailable for the rest of the
// run; the scheduler then falls back to a time limit.
#pragma once

#include <libpq-fe.h>

#include <cstddef>

#include "database/time_value.h"

enum class monitor_state {
    unused,            // never needed so far
    connecting_write,  // being established; waits until the socket takes output
    connecting_read,   // being established; waits for input
    idle,              // connected, no question in flight
    asking,            // a question is sent (or being sent); its answer is awaited
    unavailable,       // given up; never used again
};

struct lock_monitor {
    monitor_state state = monitor_state::unused;
    PGconn *connection = nullptr;
    int socket = -1;
    short revents = 0;         // what the last poll found; used by the next step
    bool flushing = false;     // the question is not all sent yet
    time_value deadline;       // for the connection or the question in flight
    int asked_pid = 0;         // the backend the current question is about
    bool answered = false;     // an answer about asked_pid is ready
    // What the results of the current question said so far: results can
    // arrive over several steps.
    bool understood = false;
    char trouble[256] = "";
    // Times the server ended the connection (idle_session_timeout, say)
    // and it was opened anew.
    int reopened = 0;
    int *blockers = nullptr;   // the answer: the processes that block it
    size_t blocker_count = 0;
    size_t blocker_capacity = 0;
};

// False once the monitor has been given up.
inline bool monitor_available(const lock_monitor &monitor) {
    return monitor.state != monitor_state::unavailable;
}
// True while a connection step or an answer is awaited.
inline bool monitor_busy(const lock_monitor &monitor) {
    return monitor.state == monitor_state::connecting_write ||
           monitor.state == monitor_state::connecting_read || monitor.state == monitor_state::asking;
}
// The poll events the monitor waits for while busy.
short monitor_events(const lock_monitor &monitor);

// Asks which processes block backend pid, opening the connection first
// (with conninfo) when there is none yet; the answer comes later through
// monitor_take_answer.  Does nothing while a question is in flight or once
// the monitor is unavailable.
void monitor_ask(lock_monitor &monitor, const char *conninfo, int pid, time_value now);

// Advances the connection or the question by one step, using what the last
// poll found (monitor.revents), and gives up when a deadline has passed.
void monitor_step(lock_monitor &monitor, time_value now);

// Hands out a ready answer once: the backend asked about and the processes
// that block it (often none).  False when there is none.
bool monitor_take_answer(lock_monitor &monitor, int *pid, const int **blockers, size_t *count);

// Closes the connection and releases the answer; back to unused.
void monitor_release(lock_monitor &monitor);
