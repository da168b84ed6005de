// The report file: created (as a temporary file beside it) when the replay
// starts, written as JSON and renamed into place when it ends.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <new>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "quillrun/messages.h"
#include "quillrun/report.h"
#include "quillrun/report_format.h"
#include "report/report_state.h"

namespace {

using json = nlohmann::ordered_json;

std::string utc_time(time_t moment) {
    struct tm parts;
    char text[32];
    if (gmtime_r(&moment, &parts) == nullptr ||
        strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0)
        return "";
    return text;
}

std::string key_text(const group_key &key) {
    char hex[17];
    snprintf(hex, sizeof hex, "%016" PRIx64, key.hash);
    std::string text = key.kind == group_kind::simple ? "simple:" : "prepared:";
    if (!key.parsed) text += "text:";
    return text + hex;
}

double milliseconds(uint64_t microseconds) { return static_cast<double>(microseconds) / 1000.0; }

double mean_milliseconds(const duration_histogram &durations) {
    // To the microsecond, like the other durations.
    return std::round(static_cast<double>(durations.total) /
                      static_cast<double>(durations.samples)) /
           1000.0;
}

// The totals and percentiles of a histogram; all null when it is empty.
void add_timings(json &entry, const duration_histogram &durations) {
    if (durations.samples == 0) {
        for (const char *name : {"total_ms", "mean_ms", "median_ms", "p95_ms", "p99_ms", "max_ms"})
            entry[name] = nullptr;
        return;
    }
    entry["total_ms"] = milliseconds(durations.total);
    entry["mean_ms"] = mean_milliseconds(durations);
    entry["median_ms"] = milliseconds(report_histogram_percentile(durations, 0.5));
    entry["p95_ms"] = milliseconds(report_histogram_percentile(durations, 0.95));
    entry["p99_ms"] = milliseconds(report_histogram_percentile(durations, 0.99));
    entry["max_ms"] = milliseconds(durations.largest);
}

json group_json(const statement_group &group, bool dry_run) {
    json entry = {{"key", key_text(group.key)},
                  {"kind", group.key.kind == group_kind::simple ? "simple" : "prepared"},
                  {"parsed", group.key.parsed},
                  {"text", group.text}};
    if (!group.key.parsed) entry["parse_error"] = group.parse_error;
    entry["calls"] = group.calls;
    if (!dry_run) entry["errors"] = group.errors;
    if (group.key.kind == group_kind::prepared) {
        entry["prepares"] = group.prepares;
        if (!dry_run) entry["prepare_errors"] = group.prepare_errors;
    }
    if (!dry_run) add_timings(entry, group.durations);
    // Beside the replayed timings, the server's own from the log, when it
    // wrote durations: what got slower on the target shows in one report.
    if (group.recorded.samples > 0) {
        json recorded = {{"calls", group.recorded.samples}};
        add_timings(recorded, group.recorded);
        entry["recorded"] = recorded;
    }
    return entry;
}

json totals_json(const report_totals &totals, bool dry_run) {
    if (dry_run)
        return {{"recorded_duration_s", totals.recorded_duration},
                {"calls", totals.calls},
                {"connections", totals.connections},
                {"max_connections", totals.max_connections},
                {"statements", totals.statements}};
    return {{"run_time_s", totals.run_time},
            {"max_lag_s", totals.max_lag},
            {"calls", totals.calls},
            {"connections", totals.connections},
            {"max_connections", totals.max_connections},
            {"statements", totals.statements},
            {"errors", totals.errors},
            {"prepares", totals.prepares},
            {"max_concurrent_statements", totals.max_statements},
            {"statement_time_s", totals.statement_time},
            {"max_statement_time_s", totals.max_statement_time}};
}

const char *outcome_text(report_outcome outcome) {
    switch (outcome) {
        case report_complete: return report_outcome_complete;
        case report_interrupted: return report_outcome_interrupted;
        case report_failed: return report_outcome_failed;
    }
    return report_outcome_failed;
}

json run_json(const report_state &state, report_outcome outcome, const std::string &digest) {
    const report_run &run = state.run;
    json entry = {{"started_at", utc_time(state.started_at)},
                  {"finished_at", utc_time(time(nullptr))},
                  {"outcome", outcome_text(outcome)},
                  {"input", run.input != nullptr ? json(run.input) : json(nullptr)},
                  {"input_format", run.replay_file ? "replay file"
                                   : run.csv       ? "csv log"
                                                   : "stderr log"},
                  {"dry_run", run.dry_run},
                  {"speed_factor", run.speed_factor},
                  {"skip_idle", run.skip_idle}};
    if (run.dry_run || state.server_version.empty()) {
        entry["server_version"] = nullptr;
        entry["server_version_num"] = nullptr;
    } else {
        entry["server_version"] = state.server_version;
        entry["server_version_num"] = state.server_version_num;
    }
    entry["items"] = state.items;
    entry["digest"] = digest;
    return entry;
}

// Busiest groups first: by time in a replay, by calls in a dry run.
std::vector<const statement_group *> ordered_groups(const report_state &state) {
    std::vector<const statement_group *> order;
    order.reserve(state.groups.size());
    for (const statement_group &group : state.groups) order.push_back(&group);
    bool dry_run = state.run.dry_run;
    std::stable_sort(order.begin(), order.end(), [dry_run](const auto *a, const auto *b) {
        uint64_t left = dry_run ? a->calls : a->durations.total;
        uint64_t right = dry_run ? b->calls : b->durations.total;
        return left > right;
    });
    return order;
}

json errors_json(const report_state &state) {
    std::vector<const error_group *> order;
    for (const error_group &group : state.error_groups) order.push_back(&group);
    std::stable_sort(order.begin(), order.end(),
                     [](const auto *a, const auto *b) { return a->count > b->count; });
    json list = json::array();
    for (const error_group *group : order) {
        json statements = json::array();
        for (uint32_t index : group->statements)
            statements.push_back(key_text(state.groups[index].key));
        list.push_back({{"sqlstate", group->sqlstate},
                        {"message", group->message},
                        {"count", group->count},
                        {"statements", statements}});
    }
    return list;
}

std::string report_text(const report_state &state, const report_totals &totals,
                        report_outcome outcome, const std::string &digest) {
    json statements = json::array();
    for (const statement_group *group : ordered_groups(state))
        statements.push_back(group_json(*group, state.run.dry_run));
    json report = {{"format", report_format_name},
                   {"format_version", report_format_version},
                   {"quillrun_version", QUILLRUN_VERSION},
                   {"run", run_json(state, outcome, digest)},
                   {"totals", totals_json(totals, state.run.dry_run)},
                   {"statements", statements}};
    if (!state.run.dry_run) report["errors"] = errors_json(state);
    // A log need not be UTF-8: bytes that are not become U+FFFD rather
    // than making the report impossible to write.
    return report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

bool write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

void print_file_error(const char *what, const char *path) {
    print_error("Error %s report file \"%s\": %s\n", what, path, strerror(errno));
}

// mkstemp makes the file private; the report gets the mode of any file the
// user creates.
mode_t creation_mode() {
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

bool put_in_place(report_state &state, const std::string &text) {
    const char *path = state.run.path;
    int fd = state.temp_fd;
    state.temp_fd = -1;
    bool written = write_all(fd, text) && fchmod(fd, creation_mode()) == 0;
    if (!written) print_file_error("writing", path);
    if (close(fd) != 0 && written) {
        print_file_error("writing", path);
        written = false;
    }
    if (!written) return false;
    if (rename(state.temp_path.c_str(), path) != 0) {
        print_file_error("writing", path);
        return false;
    }
    state.temp_path.clear();
    return true;
}

}  // namespace

int report_start() {
    report_state &state = report_current_state();
    const char *path = state.run.path;
    if (path == nullptr) return 1;
    try {
        struct stat existing;
        if (stat(path, &existing) == 0 && S_ISDIR(existing.st_mode)) {
            print_error("Error creating report file \"%s\": %s\n", path, strerror(EISDIR));
            return 0;
        }
        std::string name = path;
        size_t slash = name.rfind('/');
        size_t base = slash == std::string::npos ? 0 : slash + 1;
        std::string pattern = name.substr(0, base) + "." + name.substr(base) + ".XXXXXX";
        std::vector<char> temp(pattern.begin(), pattern.end());
        temp.push_back('\0');
        int fd = mkstemp(temp.data());
        if (fd < 0) {
            print_file_error("creating", path);
            return 0;
        }
        state.temp_fd = fd;
        state.temp_path = temp.data();
        if (!report_digest_start(state.digest)) {
            print_error("Error: cannot compute the digest of the report\n");
            report_release();
            return 0;
        }
    } catch (const std::bad_alloc &) {
        print_error("Error: not enough memory for the report\n");
        report_release();
        return 0;
    }
    state.started_at = time(nullptr);
    state.active = true;
    return 1;
}

int report_finish(const report_totals &totals, report_outcome outcome) {
    report_state &state = report_current_state();
    bool ok = true;
    if (state.active && !state.broken) {
        try {
            std::string digest = report_digest_finish(state.digest);
            ok = put_in_place(state, report_text(state, totals, outcome, digest));
        } catch (const std::exception &) {
            print_error("Error: not enough memory for the report\n");
            ok = false;
        }
    } else if (state.broken) {
        ok = false;  // the message was printed when the report was given up
    }
    report_release();
    return ok ? 1 : 0;
}
