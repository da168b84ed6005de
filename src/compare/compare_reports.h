// Comparing two reports (-R) of the same recording: a baseline and a
// candidate run.  Reads and checks both, finds the statement groups whose
// mean or 95th percentile changed by more than a threshold and the error
// groups that appeared, went or changed, and prints a table for a person at
// a terminal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct compared_group {
    std::string key;
    std::string kind;
    std::string text;
    uint64_t calls = 0;
    uint64_t errors = 0;
    bool timed = false;  // calls were measured: the durations below hold
    double mean_ms = 0;
    double p95_ms = 0;
};

struct compared_error {
    std::string sqlstate;
    std::string message;
    uint64_t count = 0;
    std::vector<std::string> statements;  // group keys
};

// What the comparison needs of one report.
struct compared_report {
    std::string path;
    std::string digest;
    uint64_t items = 0;
    std::string server_version;  // empty when the report has none
    double run_time_s = 0;
    double statement_time_s = 0;
    uint64_t statements = 0;
    uint64_t errors = 0;
    std::vector<compared_group> groups;
    std::vector<compared_error> error_groups;
};

struct compare_settings {
    double threshold = 0.20;  // a change of more than this fraction counts
    uint64_t min_calls = 10;  // groups with fewer calls in either run are left out
};

// Exit statuses of the compare command.
constexpr int compare_no_regression = 0;
constexpr int compare_regression = 1;
constexpr int compare_bad_input = 2;

// Reads a report file.  False after an "Error: ..." message naming the file
// (it cannot be read, is not JSON, is not a report of a complete replay, or
// lacks what the comparison needs).
bool compare_read_report(const char *path, compared_report *report);

// Prints the comparison on out and returns the exit status: no regression,
// regression, or bad input after a message (reports of different
// recordings).
int compare_reports(const compared_report &baseline, const compared_report &candidate,
                    const compare_settings &settings, FILE *out);
