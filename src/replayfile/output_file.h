// The named output of -f -o: a replay file replaces the old file only once
// it is complete.
//
// A regular file (or a name not yet taken, or a symbolic link to a regular
// file) is written as a temporary file of mode 0600 beside it, named after
// it with a random suffix, and renamed over it by output_file_commit; until
// then the old file is untouched, and output_file_discard removes the
// temporary file.  Anything else -- a device such as /dev/full or /dev/null,
// a FIFO, a terminal, the file that is standard output or standard error --
// is opened and written directly and never replaced.
#pragma once

// Opens the output for writing.  The descriptor, or -1 after the message
// "Error opening output file:" with the system error.
int output_file_open(const char *name);

// True when the open output is a temporary file that commit renames.
bool output_file_replaces();

// Makes a temporary file the output: syncs it to disk, closes fd and
// renames it over the name.  Not done, and false, when an interrupt is
// pending (the caller then discards it).  False after a reported error.
// The descriptor is closed in every case.  Nothing to do, and true, for an
// output written directly.
bool output_file_commit(int fd);

// Removes a temporary file that was not committed; nothing otherwise.
void output_file_discard();
