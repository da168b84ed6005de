// Running the built quillrun binary as a user would, and capturing what it
// prints.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct run_result {
    int status = -1;  // exit status, or 128 + signal number
    int signal = 0;   // the signal that ended it; 0 when it exited
    std::string out;  // standard output
    std::string err;  // standard error
};

// Something done to the running program.  Actions run in order: each waits
// until its text has appeared on standard output or standard error (not at
// all when the text is empty), counted from the action before it, and then
// for delay_seconds more.
struct run_action {
    std::string after_output;
    double delay_seconds = 0;
    int signal = 0;                      // sent when not 0
    bool close_input = false;            // closes the program's standard input
    std::function<void(int pid)> call = nullptr;  // called with the program's process id
};

struct run_request {
    std::vector<std::string> args;                       // without the program name
    std::string input;                                   // fed to standard input
    std::string input_file;  // when not empty, standard input is this file instead
    // Standard input arrives in pieces of input_piece bytes, one every
    // input_interval seconds, the first at once; 0 feeds it as fast as the
    // program reads.
    size_t input_piece = 0;
    double input_interval = 0;
    // Standard input stays open after the input, until an action closes it
    // or the program ends, so that the program waits for more.
    bool hold_input_open = false;
    // Standard output: captured, unless it is this file (opened for
    // appending, created when missing), or a pipe whose reading end is
    // already closed.
    std::string output_file;
    bool output_closed = false;
    // When not 0, standard error is a terminal of this many columns: a
    // pseudo-terminal in raw mode, so that what the program writes arrives
    // in `err` byte for byte.
    unsigned short error_terminal_columns = 0;
    std::vector<run_action> actions;
    std::vector<std::pair<std::string, std::string>> env;  // added or replaced
    std::string working_directory;                       // empty: unchanged
    double timeout_seconds = 120;                        // killed after this
    const char *program = QUILLRUN_BINARY;               // or QUILLRUN_COMPARE_BINARY
};

// Delivers two signals to the program at once: it is stopped, both are
// sent, and it goes on, so that the second arrives while the first is
// still being handled, wherever the program stood.
void send_two_signals(int pid, int first, int second);

run_result run_quillrun(const run_request &request);
run_result run_quillrun(const std::vector<std::string> &args, const std::string &input = "");
run_result run_compare(const std::vector<std::string> &args);

// Makes standard input a pipe that brings input in pieces of `piece` bytes,
// one every `interval` seconds, the first at once, and stays open after
// the last, as a log that is still being written.
void feed_slowly(run_request &request, const std::string &input, size_t piece, double interval);

// The stderr log of one session: its connection, then `count` statements
// "SELECT 1000", "SELECT 1001" and on (up to 9000 of them), every statement
// line as long as the others.  The parser hands out the item of a
// statement only once one or two more lines have arrived.
std::string session_log(int count);

// A fresh directory under /tmp, removed with everything in it on destruction.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void write_file(const std::string &path, const std::string &content);
// The names in a directory, without "." and "..", sorted.
std::vector<std::string> list_directory(const std::string &path);
std::string read_file(const std::string &path);
// The number that follows the first occurrence of label in text, such as a
// count of the statistics; ~0UL when the label is not there.
unsigned long number_after(const std::string &text, const std::string &label);
