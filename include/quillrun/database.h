// Replay against a PostgreSQL server, and the dry run that only counts.
#pragma once

#include "quillrun/replay_item.h"

int database_consumer_init(const char *outfile, const char *host, int port, const char *password,
                           double factor);
int database_consumer(replay_item *item);
int database_consumer_dry_run(replay_item *item);
// At the end of the input: sends the items that still wait and waits for
// the sessions to take them.
int database_consumer_complete();
int database_consumer_dry_run_complete();
void database_consumer_finish(int dry_run);

// Where the replay or the dry run stands now (the status line).  Reads the
// clock.
struct replay_progress;
void database_progress(replay_progress *progress);
