// The pipeline contract: one provider produces items, one consumer takes them.
#pragma once

#include "quillrun/replay_item.h"

// A new item the caller owns, end_item at the end of the input, or null after
// an error whose message has been printed.
using replay_item_provider = replay_item *(*)();

// 1: item taken (the consumer now owns it); 0: not yet, offer it again at
// once; -1 (or anything else): error, message printed.
//
// Interrupts (quillrun/interrupt.h): the driver looks at interrupt_requested()
// before it offers each item, so an operation need not.  One that blocks
// (waits for a server, sleeps until an item is due, reads a slow pipe) should
// return promptly once its wait fails with EINTR and an interrupt is
// requested: a null item, -1 or 0 from an init or the complete step is then
// taken for the interrupt, not for a failure, and needs no message.
using replay_item_consumer = int (*)(replay_item *item);

// 1 on success, 0 on failure (message printed).  Strings stay valid for the
// whole run, so callees may keep the pointers.
using replay_provider_init = int (*)(const char *infile, int csv, const char *begin_timestamp,
                                     const char *end_timestamp, const char *database_filter,
                                     const char *username_filter);
using replay_provider_finish = void (*)();
using replay_consumer_init = int (*)(const char *outfile, const char *host, int port,
                                     const char *password, double factor);
using replay_consumer_finish = void (*)(int dry_run);
// Called once, after the provider has signalled the end of the input and
// before either finish operation: the consumer completes the work it has
// taken (sends what still waits, writes out what is buffered, puts a
// finished file in place), so that a failure there is reported before any
// statistics are printed.  1 on success, 0 on failure (message printed) or
// when an interrupt stopped it.  Not called after a failure or an interrupt.
using replay_consumer_complete = int (*)();

// Writes a duration on stats_stream after a label: " H hours", " M minutes"
// (each only when not 0) and " S.SSS seconds\n".
void print_duration(long long seconds, long long microseconds);
