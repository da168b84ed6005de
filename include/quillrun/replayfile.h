// The replay file: a headerless sequence of big-endian binary records, one
// per replay item.
#pragma once

#include "quillrun/replay_item.h"

int file_provider_init(const char *infile, int csv, const char *begin_timestamp,
                       const char *end_timestamp, const char *database_filter,
                       const char *username_filter);
replay_item *file_provider();
void file_provider_finish();

int file_consumer_init(const char *outfile, const char *host, int port, const char *password,
                       double factor);
int file_consumer(replay_item *item);
void file_consumer_finish(int dry_run);
