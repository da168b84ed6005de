// Interruption by SIGINT or SIGTERM.
//
// The first of these signals only records a request: the driver looks at it
// between items and ends the run in order, and a unit that blocks (a sleep,
// a poll, a read) returns early when its call fails with EINTR and a request
// is recorded.  A second signal ends the program at once, dying by that
// signal (exit status 128 + its number) without any finish operation: it
// first removes the file named with interrupt_remove_on_exit, if any.
#pragma once

// Installs the handlers, without SA_RESTART, so that blocking calls return
// EINTR.  A signal that the program was started with ignored stays ignored.
// False after a failure (reported here).
bool interrupt_install();

// True once SIGINT or SIGTERM has arrived.  Async-signal-safe to call.
bool interrupt_requested();

// The signal that made the request (SIGINT or SIGTERM), 0 when none did.
int interrupt_signal();

// "SIGINT" or "SIGTERM" for interrupt_signal(); "" when there is none.
const char *interrupt_signal_name();

// Names the file that a second signal removes before the program dies; null
// names none.  The text must stay valid until it is replaced.  One file at a
// time: a later call replaces the earlier name.
void interrupt_remove_on_exit(const char *path);

// Forgets a recorded request, for a process that runs the pipeline more
// than once (the tests).
void interrupt_reset();
