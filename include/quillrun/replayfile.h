// The replay file: a headerless sequence of big-endian binary records, one
// per replay item.
#pragma once

#include "quillrun/replay_item.h"

int file_provider_init(const char *infile, int csv, const char *begin_timestamp,
                       const char *end_timestamp, const char *database_filter,
                       const char *username_filter);
// Reads ahead in blocks, so between calls the descriptor is not at a
// record boundary.  A pipe's short reads are waited out; only a file that
// really ends inside a record is reported as cut.
replay_item *file_provider();
void file_provider_finish();
// How far the provider is through the replay file (the status line).
struct input_progress;
void file_provider_progress(input_progress *progress);

// A named regular file is not touched before the completion: the records
// go to a temporary file of mode 0600 beside it (see output_file.h).
int file_consumer_init(const char *outfile, const char *host, int port, const char *password,
                       double factor);
// Records are buffered: one that was taken (result 1) is in the file only
// once a later call or the completion has written the buffer out.
int file_consumer(replay_item *item);
// Writes out the buffered records and puts a named file in place; 0 after a
// reported error, or when an interrupt stopped it before the file was in
// place.
int file_consumer_complete();
// Closes the output.  Without a completion (a failed or interrupted run)
// the records still buffered are dropped, and a temporary file is removed
// so that the named file stays as it was.
void file_consumer_finish(int dry_run);

// True when writing the replay file failed, in file_consumer or in the
// completion.
bool file_consumer_write_failed();
