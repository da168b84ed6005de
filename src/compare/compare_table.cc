// The comparison itself and its table.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "compare/compare_reports.h"
#include "quillrun/messages.h"

namespace {

constexpr size_t text_width = 60;

struct group_change {
    const compared_group *baseline;
    const compared_group *candidate;
    double mean_ratio;
    double p95_ratio;
    bool slower;
};

enum class error_change { appeared, grew, shrank, went };

struct error_row {
    const compared_error *baseline;   // null when new
    const compared_error *candidate;  // null when gone
    error_change change;
    bool regression;
};

double ratio(double baseline, double candidate) {
    if (baseline > 0) return candidate / baseline;
    return candidate > 0 ? std::numeric_limits<double>::infinity() : 1.0;
}

// One line of a statement's text: runs of white space become one blank,
// and a long text is cut (at a character boundary) with "...".
std::string one_line(const std::string &text, size_t width) {
    std::string line;
    bool blank = false;
    for (char c : text) {
        bool space = c == ' ' || c == '\n' || c == '\t' || c == '\r';
        if (space) {
            blank = !line.empty();
            continue;
        }
        if (blank) line += ' ';
        blank = false;
        line += c;
    }
    if (line.size() <= width) return line;
    size_t cut = width - 3;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    return line.substr(0, cut) + "...";
}

std::string ratio_text(double value) {
    if (std::isinf(value)) return "new";
    char text[32];
    snprintf(text, sizeof text, "%.2f", value);
    return text;
}

unsigned long printable(uint64_t count) { return static_cast<unsigned long>(count); }

std::string percent_text(const compare_settings &settings) {
    char text[32];
    snprintf(text, sizeof text, "%g%%", settings.threshold * 100);
    return text;
}

std::vector<group_change> changed_groups(const compared_report &baseline,
                                         const compared_report &candidate,
                                         const compare_settings &settings) {
    std::unordered_map<std::string, const compared_group *> by_key;
    for (const compared_group &group : candidate.groups) by_key.emplace(group.key, &group);
    std::vector<group_change> changes;
    for (const compared_group &before : baseline.groups) {
        auto found = by_key.find(before.key);
        if (found == by_key.end()) continue;
        const compared_group &after = *found->second;
        if (!before.timed || !after.timed) continue;
        if (before.calls < settings.min_calls || after.calls < settings.min_calls) continue;
        double mean = ratio(before.mean_ms, after.mean_ms);
        double p95 = ratio(before.p95_ms, after.p95_ms);
        double up = 1 + settings.threshold, down = 1 - settings.threshold;
        bool slower = mean > up || p95 > up;
        if (!slower && mean >= down && p95 >= down) continue;
        changes.push_back({&before, &after, mean, p95, slower});
    }
    std::stable_sort(changes.begin(), changes.end(), [](const auto &a, const auto &b) {
        return std::max(a.mean_ratio, a.p95_ratio) > std::max(b.mean_ratio, b.p95_ratio);
    });
    return changes;
}

std::vector<error_row> changed_errors(const compared_report &baseline,
                                      const compared_report &candidate,
                                      const compare_settings &settings) {
    auto key = [](const compared_error &error) { return error.sqlstate + '\0' + error.message; };
    std::unordered_map<std::string, const compared_error *> before;
    for (const compared_error &error : baseline.error_groups) before.emplace(key(error), &error);
    std::vector<error_row> rows;
    std::unordered_map<std::string, bool> seen;
    for (const compared_error &after : candidate.error_groups) {
        seen[key(after)] = true;
        auto found = before.find(key(after));
        if (found == before.end()) {
            rows.push_back({nullptr, &after, error_change::appeared, true});
            continue;
        }
        uint64_t was = found->second->count;
        if (after.count == was) continue;
        bool grew = after.count > was;
        bool regression = grew && static_cast<double>(after.count) >
                                      static_cast<double>(was) * (1 + settings.threshold);
        rows.push_back(
            {found->second, &after, grew ? error_change::grew : error_change::shrank, regression});
    }
    for (const compared_error &error : baseline.error_groups)
        if (!seen.contains(key(error)))
            rows.push_back({&error, nullptr, error_change::went, false});
    auto rank = [](const error_row &row) { return static_cast<int>(row.change); };
    auto difference = [](const error_row &row) {
        double was = row.baseline != nullptr ? static_cast<double>(row.baseline->count) : 0;
        double now = row.candidate != nullptr ? static_cast<double>(row.candidate->count) : 0;
        return now - was;
    };
    std::stable_sort(rows.begin(), rows.end(), [&](const auto &a, const auto &b) {
        if (rank(a) != rank(b)) return rank(a) < rank(b);
        return difference(a) > difference(b);
    });
    return rows;
}

const char *change_name(error_change change) {
    switch (change) {
        case error_change::appeared: return "new";
        case error_change::grew: return "more";
        case error_change::shrank: return "fewer";
        case error_change::went: return "gone";
    }
    return "";
}

// The text of the first statement group an error came from, as the report
// that has the error names it, with the number of further groups.
std::string error_source(const compared_error &error, const compared_report &report) {
    if (error.statements.empty()) return "";
    std::string text = error.statements.front();
    for (const compared_group &group : report.groups) {
        if (group.key != text) continue;
        text = group.text;
        break;
    }
    std::string source = one_line(text, text_width);
    if (error.statements.size() > 1)
        source += " (and " + std::to_string(error.statements.size() - 1) + " more)";
    return source;
}

void print_header(const compared_report &baseline, const compared_report &candidate, FILE *out) {
    auto server = [](const compared_report &report) {
        return report.server_version.empty() ? std::string("server version unknown")
                                             : "PostgreSQL " + report.server_version;
    };
    fprintf(out, "Baseline:  %s (%s)\n", baseline.path.c_str(), server(baseline).c_str());
    fprintf(out, "Candidate: %s (%s)\n", candidate.path.c_str(), server(candidate).c_str());
    fprintf(out, "Recording: %lu items, digest %.16s\n\n", printable(baseline.items),
            baseline.digest.c_str());
    fprintf(out, "%-24s %14s %14s %8s\n", "", "baseline", "candidate", "ratio");
    fprintf(out, "%-24s %12.3f s %12.3f s %8s\n", "Total replay time", baseline.run_time_s,
            candidate.run_time_s,
            ratio_text(ratio(baseline.run_time_s, candidate.run_time_s)).c_str());
    fprintf(out, "%-24s %12.3f s %12.3f s %8s\n", "Statement time", baseline.statement_time_s,
            candidate.statement_time_s,
            ratio_text(ratio(baseline.statement_time_s, candidate.statement_time_s)).c_str());
    fprintf(out, "%-24s %14lu %14lu\n", "SQL statements", printable(baseline.statements),
            printable(candidate.statements));
    fprintf(out, "%-24s %14lu %14lu\n", "Errors", printable(baseline.errors),
            printable(candidate.errors));
}

void print_groups(const std::vector<group_change> &changes, const compare_settings &settings,
                  FILE *out) {
    std::string percent = percent_text(settings);
    if (changes.empty()) {
        fprintf(out,
                "\nNo statement group with at least %lu calls in both runs changed its mean or "
                "95th percentile by more than %s.\n",
                printable(settings.min_calls), percent.c_str());
        return;
    }
    fprintf(out,
            "\nStatement groups whose mean or 95th percentile changed by more than %s "
            "(at least %lu calls in both runs), worst first:\n\n",
            percent.c_str(), printable(settings.min_calls));
    fprintf(out, "%10s  %-29s  %-29s  %s\n", "", "mean (ms)", "95th percentile (ms)", "");
    fprintf(out, "%10s  %9s %10s %8s  %9s %10s %8s  %s\n", "calls", "baseline", "candidate",
            "ratio", "baseline", "candidate", "ratio", "statement");
    for (const group_change &change : changes) {
        fprintf(out, "%10lu  %9.3f %10.3f %8s  %9.3f %10.3f %8s  %s\n",
                printable(change.candidate->calls), change.baseline->mean_ms,
                change.candidate->mean_ms, ratio_text(change.mean_ratio).c_str(),
                change.baseline->p95_ms, change.candidate->p95_ms,
                ratio_text(change.p95_ratio).c_str(),
                one_line(change.candidate->text, text_width).c_str());
    }
}

void print_errors(const std::vector<error_row> &rows, const compared_report &baseline,
                  const compared_report &candidate, FILE *out) {
    if (rows.empty()) {
        fprintf(out, "\nNo error group is new, gone or changed in count.\n");
        return;
    }
    fprintf(out, "\nError groups that are new, gone or changed in count:\n\n");
    fprintf(out, "%-6s %10s %10s  %-8s %s\n", "", "baseline", "candidate", "SQLSTATE", "message");
    for (const error_row &row : rows) {
        const compared_error &error = row.candidate != nullptr ? *row.candidate : *row.baseline;
        const compared_report &source = row.candidate != nullptr ? candidate : baseline;
        fprintf(out, "%-6s %10lu %10lu  %-8s %s\n", change_name(row.change),
                printable(row.baseline != nullptr ? row.baseline->count : 0),
                printable(row.candidate != nullptr ? row.candidate->count : 0),
                error.sqlstate.c_str(), one_line(error.message, 2 * text_width).c_str());
        std::string from = error_source(error, source);
        if (!from.empty())
            fprintf(out, "%-6s %10s %10s  %-8s in: %s\n", "", "", "", "", from.c_str());
    }
}

}  // namespace

int compare_reports(const compared_report &baseline, const compared_report &candidate,
                    const compare_settings &settings, FILE *out) {
    if (baseline.digest != candidate.digest) {
        print_error(
            "Error: \"%s\" and \"%s\" are reports of different recordings "
            "(%lu and %lu items, and their digests differ)\n",
            baseline.path.c_str(), candidate.path.c_str(), printable(baseline.items),
            printable(candidate.items));
        return compare_bad_input;
    }
    std::vector<group_change> changes = changed_groups(baseline, candidate, settings);
    std::vector<error_row> errors = changed_errors(baseline, candidate, settings);
    print_header(baseline, candidate, out);
    print_groups(changes, settings, out);
    print_errors(errors, baseline, candidate, out);

    size_t slower = std::count_if(changes.begin(), changes.end(),
                                  [](const auto &change) { return change.slower; });
    size_t worse =
        std::count_if(errors.begin(), errors.end(), [](const auto &row) { return row.regression; });
    std::string percent = percent_text(settings);
    if (slower == 0 && worse == 0) {
        fprintf(out, "\nNo regression beyond %s.\n", percent.c_str());
        fflush(out);
        return compare_no_regression;
    }
    fprintf(out,
            "\nRegression beyond %s: %zu statement group%s slower, %zu error group%s new or "
            "more frequent.\n",
            percent.c_str(), slower, slower == 1 ? "" : "s", worse, worse == 1 ? "" : "s");
    fflush(out);
    return compare_regression;
}
