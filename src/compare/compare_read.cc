// Reading a report for the comparison.  Every field the comparison uses is
// checked for presence and type, so that a damaged or foreign file gives a
// message that says what is wrong rather than a crash or a wrong table.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <nlohmann/json.hpp>
#include <string>

#include "compare/compare_reports.h"
#include "quillrun/messages.h"
#include "quillrun/report_format.h"

namespace {

using json = nlohmann::json;

// A report that lacks what the comparison needs; what() says what.
struct bad_report {
    std::string what;
};

// Fields are named by their path from the top of the document, such as
// "statements[3].calls"; where is the path of the object ("" at the top).
std::string path_of(const std::string &where, const char *name) {
    return where.empty() ? name : where + "." + name;
}

const json &member(const json &object, const char *name, const std::string &where) {
    if (!object.is_object())
        throw bad_report{(where.empty() ? std::string("the document") : where) +
                         " is not an object"};
    auto found = object.find(name);
    if (found == object.end()) throw bad_report{path_of(where, name) + " is missing"};
    return *found;
}

std::string text_at(const json &object, const char *name, const std::string &where) {
    const json &value = member(object, name, where);
    if (!value.is_string()) throw bad_report{path_of(where, name) + " is not a string"};
    return value.get<std::string>();
}

double number_at(const json &object, const char *name, const std::string &where) {
    const json &value = member(object, name, where);
    if (!value.is_number()) throw bad_report{path_of(where, name) + " is not a number"};
    return value.get<double>();
}

uint64_t count_at(const json &object, const char *name, const std::string &where) {
    const json &value = member(object, name, where);
    if (!value.is_number_unsigned())
        throw bad_report{path_of(where, name) + " is not a count (a whole number, 0 or more)"};
    return value.get<uint64_t>();
}

const json &array_at(const json &object, const char *name, const std::string &where) {
    const json &value = member(object, name, where);
    if (!value.is_array()) throw bad_report{path_of(where, name) + " is not a list"};
    return value;
}

compared_group read_group(const json &entry, const std::string &where) {
    compared_group group;
    group.key = text_at(entry, "key", where);
    group.kind = text_at(entry, "kind", where);
    group.text = text_at(entry, "text", where);
    group.calls = count_at(entry, "calls", where);
    group.errors = count_at(entry, "errors", where);
    // A group without calls has no durations (null in the report).
    group.timed = group.calls > 0;
    if (group.timed) {
        group.mean_ms = number_at(entry, "mean_ms", where);
        group.p95_ms = number_at(entry, "p95_ms", where);
    }
    return group;
}

compared_error read_error(const json &entry, const std::string &where) {
    compared_error error;
    error.sqlstate = text_at(entry, "sqlstate", where);
    error.message = text_at(entry, "message", where);
    error.count = count_at(entry, "count", where);
    const json &statements = array_at(entry, "statements", where);
    for (size_t i = 0; i < statements.size(); ++i) {
        if (!statements[i].is_string())
            throw bad_report{where + ".statements[" + std::to_string(i) + "] is not a string"};
        error.statements.push_back(statements[i].get<std::string>());
    }
    return error;
}

// Fills *report from the document, or throws bad_report with what
// disqualifies it.
void read_document(const json &document, compared_report *report) {
    if (!document.is_object() || !document.contains("format") ||
        document["format"] != report_format_name)
        throw bad_report{"it is not a quillrun report"};
    const json &version = member(document, "format_version", "");
    if (!version.is_number_integer() || version.get<long long>() != report_format_version)
        throw bad_report{"its format version is " + version.dump() + "; this program reads " +
                         std::to_string(report_format_version)};
    const json &run = member(document, "run", "");
    const json &dry_run = member(run, "dry_run", "run");
    if (!dry_run.is_boolean()) throw bad_report{"run.dry_run is not true or false"};
    if (dry_run.get<bool>())
        throw bad_report{"it is the report of a dry run, which has no timings"};
    std::string outcome = text_at(run, "outcome", "run");
    if (outcome == report_outcome_interrupted)
        throw bad_report{
            "it is the report of an interrupted replay; a comparison needs complete "
            "runs"};
    if (outcome != report_outcome_complete)
        throw bad_report{
            "it is the report of a replay that ended with an error; a comparison "
            "needs complete runs"};
    report->digest = text_at(run, "digest", "run");
    if (report->digest.empty()) throw bad_report{"run.digest is empty"};
    report->items = count_at(run, "items", "run");
    const json &server = member(run, "server_version", "run");
    if (server.is_string()) report->server_version = server.get<std::string>();

    const json &totals = member(document, "totals", "");
    report->run_time_s = number_at(totals, "run_time_s", "totals");
    report->statement_time_s = number_at(totals, "statement_time_s", "totals");
    report->statements = count_at(totals, "statements", "totals");
    report->errors = count_at(totals, "errors", "totals");

    const json &groups = array_at(document, "statements", "");
    for (size_t i = 0; i < groups.size(); ++i)
        report->groups.push_back(read_group(groups[i], "statements[" + std::to_string(i) + "]"));
    const json &errors = array_at(document, "errors", "");
    for (size_t i = 0; i < errors.size(); ++i)
        report->error_groups.push_back(read_error(errors[i], "errors[" + std::to_string(i) + "]"));
}

// nlohmann's messages begin with "[json.exception.<kind>.<id>] ", which
// says nothing to a user.
std::string without_exception_id(const char *what) {
    const char *end = strstr(what, "] ");
    return what[0] == '[' && end != nullptr ? end + 2 : what;
}

bool read_text(const char *path, std::string *text) {
    FILE *file = fopen(path, "rb");
    if (file == nullptr) return false;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, n);
    bool ok = ferror(file) == 0;
    int saved = errno;
    fclose(file);
    errno = saved;
    return ok;
}

}  // namespace

bool compare_read_report(const char *path, compared_report *report) {
    try {
        std::string text;
        if (!read_text(path, &text)) {
            print_error("Error: cannot read report \"%s\": %s\n", path, strerror(errno));
            return false;
        }
        json document;
        try {
            document = json::parse(text);
        } catch (const json::parse_error &error) {
            print_error("Error: report \"%s\" is not valid JSON: %s\n", path,
                        without_exception_id(error.what()).c_str());
            return false;
        }
        *report = compared_report{};
        report->path = path;
        read_document(document, report);
        return true;
    } catch (const bad_report &bad) {
        print_error("Error: cannot compare \"%s\": %s\n", path, bad.what.c_str());
    } catch (const std::bad_alloc &) {
        print_error("Error: not enough memory to read report \"%s\"\n", path);
    } catch (const std::exception &error) {
        print_error("Error: cannot read report \"%s\": %s\n", path, error.what());
    }
    return false;
}
