// Running the built quillrun binary as a user would, and capturing what it
// prints.
#pragma once

#include <string>
#include <vector>

struct run_result {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;  // standard output
    std::string err;  // standard error
};

struct run_request {
    std::vector<std::string> args;                       // without the program name
    std::string input;                                   // fed to standard input
    std::vector<std::pair<std::string, std::string>> env;  // added or replaced
    std::string working_directory;                       // empty: unchanged
    double timeout_seconds = 120;                        // killed after this
    const char *program = QUILLRUN_BINARY;               // or QUILLRUN_COMPARE_BINARY
};

run_result run_quillrun(const run_request &request);
run_result run_quillrun(const std::vector<std::string> &args, const std::string &input = "");
run_result run_compare(const std::vector<std::string> &args);

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
std::string read_file(const std::string &path);
