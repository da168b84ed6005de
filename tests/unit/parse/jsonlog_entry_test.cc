#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parse/jsonlog_entry.h"
#include "support/capture.h"
#include "support/test_log.h"

namespace {

// A line with the fields a server writes, in its order; `message` and
// `detail` are given as they stand in the file (escaped, without their
// quotes), an empty detail is left out as the server does.  `at` is
// "SS.mmm" after 2000-01-01.
std::string line(const char *at, const std::string &message, const std::string &detail = "",
                 const char *session = "6b19e410.1e27", const char *level = "LOG") {
    std::string text = std::string("{\"timestamp\":\"2000-01-01 00:00:") + at +
                       " UTC\",\"user\":\"alice\",\"dbname\":\"shop\",\"pid\":7719,"
                       "\"remote_host\":\"[local]\",\"session_id\":\"" + session +
                       "\",\"line_num\":4,\"ps\":\"idle\",\"session_start\":\"2000-01-01 00:00:00 "
                       "UTC\",\"vxid\":\"3/4\",\"txid\":0,\"error_severity\":\"" + level +
                       "\",\"message\":\"" + message + "\"";
    if (!detail.empty()) text += ",\"detail\":\"" + detail + "\"";
    return text + ",\"application_name\":\"psql\",\"backend_type\":\"client backend\","
                  "\"query_id\":0}\n";
}

void check(const std::vector<entry_case> &cases) { check_entry_cases(cases, json_format); }

const uint64_t s1 = 0x6b19e41000001e27;

TEST(ParseJsonlogEntry, PicksAndUnescapesTheFields) {
    check({
        {"message and detail",
         line("01.500", "execute s1: SELECT $1", "parameters: $1 = '7'") +
             line("02.000", "boom", "", "6b19e410.1e27", "ERROR") +
             line("03.000", "x", "", "6b19e410.1e27", "STATEMENT"),
         {entry(1, 500, "alice", "shop", s1, log_log, "execute s1: SELECT $1",
                "parameters: $1 = '7'"),
          entry(2, 0, "alice", "shop", s1, log_error, "boom"),
          entry(3, 0, "alice", "shop", s1, log_unknown, "x")},
         0, ""},
        {"every escape comes out as the bytes it stands for",
         line("01.000",
              "statement: SELECT 'a\\tb',\\n  \\\"q\\\" \\\\ \\/ \\u00e9\\u20ac\\ud83d\\ude00 \\b\\f\\r"),
         {entry(1, 0, "alice", "shop", s1, log_log,
                "statement: SELECT 'a\tb',\n  \"q\" \\ / \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 \b\f\r")},
         0, ""},
        {"text that is not UTF-8 keeps its bytes",
         line("01.000", "statement: SELECT '\xe9t\xe9 \\u00e9 \xef\x9e\x80'", "caf\xe9"),
         {entry(1, 0, "alice", "shop", s1, log_log,
                "statement: SELECT '\xe9t\xe9 \xc3\xa9 \xef\x9e\x80'", "caf\xe9")},
         0, ""},
        {"any order, fields missing or empty, other values of any type",
         "{\"message\":\"m\",\"error_severity\":\"LOG\",\"extra\":[1,{\"a\":null}],"
         "\"session_id\":\"6b19e410.1e27\",\"detail\":\"\",\"n\":-1.5e3,\"b\":true,"
         "\"timestamp\":\"2000-01-01 00:00:04.000 UTC\"}\n"
         "{\"timestamp\":\"2000-01-01 00:00:05.000 UTC\",\"session_id\":\"6b19e410.1e27\","
         "\"error_severity\":\"LOG\"}\n",
         {entry(4, 0, "", "", s1, log_log, "m"), entry(5, 0, "", "", s1, log_log, "")}, 0, ""},
        {"empty lines are skipped",
         "\n" + line("01.000", "first") + "\n\n" + line("02.000", "second") + "\n",
         {entry(1, 0, "alice", "shop", s1, log_log, "first"),
          entry(2, 0, "alice", "shop", s1, log_log, "second")},
         0, ""},
        {"names of 64 characters, escapes counted once",
         "{\"timestamp\":\"2000-01-01 00:00:01.000\",\"user\":\"" + std::string(61, 'u') +
             "\\\"\\u00e9\",\"dbname\":\"" + std::string(64, 'd') +
             "\",\"session_id\":\"6b19e410.1e27\",\"error_severity\":\"LOG\",\"message\":\"x\"}\n"
             // Bytes that are not UTF-8 count once, not as their stand-ins.
             "{\"timestamp\":\"2000-01-01 00:00:01.000\",\"user\":\"" + std::string(64, '\xe9') +
             "\",\"session_id\":\"6b19e410.1e27\",\"error_severity\":\"LOG\",\"message\":\"y\"}\n",
         {entry(1, 0, (std::string(61, 'u') + "\"\xc3\xa9").c_str(), std::string(64, 'd').c_str(),
                s1, log_log, "x"),
          entry(1, 0, std::string(64, '\xe9').c_str(), "", s1, log_log, "y")},
         0, ""},
        {"the last line without a newline", line("01.000", "last").substr(0, line("01.000", "last").size() - 1),
         {entry(1, 0, "alice", "shop", s1, log_log, "last")}, 0, ""},
    });
}

TEST(ParseJsonlogEntry, AppliesTheTimeWindow) {
    check({
        {"lines before are dropped unparsed, the first after ends the log",
         "{\"timestamp\":\"2000-01-01 00:00:01.000 not JSON at all\n" +
             line("02.000", "at the start") +
             // The time stamp not first: held against the window once parsed.
             "{\"message\":\"late key\",\"session_id\":\"6b19e410.1e27\",\"error_severity\":"
             "\"LOG\",\"timestamp\":\"2000-01-01 00:00:01.500\"}\n" +
             line("04.000", "at the end") +
             "{\"session_id\":\"6b19e410.1e27\",\"error_severity\":\"LOG\",\"timestamp\":"
             "\"2000-01-01 00:00:04.001\"}\n" +
             line("05.000", "never read"),
         {entry(2, 0, "alice", "shop", s1, log_log, "at the start"),
          entry(4, 0, "alice", "shop", s1, log_log, "at the end")},
         0, "", "2000-01-01 00:00:02.000", "2000-01-01 00:00:04.000"},
    });
}

TEST(ParseJsonlogEntry, ReportsDamagedLinesWithTheirNumber) {
    const std::string ok = line("01.000", "fine");
    const parsed_entry ok_entry = entry(1, 0, "alice", "shop", s1, log_log, "fine");
    const std::string full = line("02.000", "m");
    auto with = [&](const std::string &from, const std::string &to) {
        std::string text = full;
        return text.replace(text.find(from), from.size(), to);
    };
    check({
        {"cut off", ok + full.substr(0, 60) + "\n", {ok_entry}, -1,
         "Error parsing line 2: malformed JSON (A string is opened, but never closed.)\n"},
        {"cut off after a value", ok + full.substr(0, full.find(",\"pid\"")) + "\n", {ok_entry}, -1,
         "Error parsing line 2: malformed JSON (JSON document ended early in the middle of an "
         "object or array.)\n"},
        {"an array", "[" + ok.substr(0, ok.size() - 1) + "]\n", {}, -1,
         "Error parsing line 1: not a JSON object\n"},
        {"a bare string", "\"text\"\n", {}, -1, "Error parsing line 1: not a JSON object\n"},
        {"a stderr line", "2000-01-01 00:00:01.000 UTC|a|b|1.2|LOG:  x\n", {}, -1,
         "Error parsing line 1: not a JSON object\n"},
        {"text after the object", ok + full.substr(0, full.size() - 1) + " {}\n", {ok_entry}, -1,
         "Error parsing line 2: malformed JSON (The JSON document has an improper structure: "
         "missing or superfluous commas, braces, missing keys, etc.)\n"},
        {"a number for a name", with("\"alice\"", "42"), {}, -1,
         "Error parsing line 1: \"user\" is not a JSON string\n"},
        {"null for the message", with("\"m\"", "null"), {}, -1,
         "Error parsing line 1: \"message\" is not a JSON string\n"},
        {"an object for the session id", with("\"6b19e410.1e27\"", "{\"id\":1}"), {}, -1,
         "Error parsing line 1: \"session_id\" is not a JSON string\n"},
        {"no time stamp", with("\"timestamp\"", "\"time\""), {}, -1,
         "Error parsing line 1: no \"timestamp\" in the JSON object\n"},
        {"no session id", with("\"session_id\"", "\"session\""), {}, -1,
         "Error parsing line 1: no \"session_id\" in the JSON object\n"},
        {"no level", with("\"error_severity\"", "\"severity\""), {}, -1,
         "Error parsing line 1: no \"error_severity\" in the JSON object\n"},
        {"an escaped NUL", with("\"m\"", "\"a\\u0000b\""), {}, -1,
         "Error parsing line 1: \"message\" contains a NUL character\n"},
        {"a NUL byte", ok + std::string("{\"a\0", 4), {ok_entry}, -1,
         "Error: NUL byte in line 2 of input file\n"},
        {"an unescaped tab", with("\"m\"", "\"a\tb\""), {}, -1,
         "Error parsing line 1: malformed JSON (Within strings, some characters must be escaped, "
         "we found unescaped characters)\n"},
        {"a bad escape", with("\"m\"", "\"a\\x\""), {}, -1,
         "Error parsing line 1: malformed JSON (Problem while parsing a string)\n"},
        {"bytes that are not UTF-8 in a damaged line", with("\"m\"", "\"\xff") , {}, -1,
         "Error parsing line 1: malformed JSON (A string is opened, but never closed.)\n"},
        {"a bad time stamp", with("00:00:02.000", "00:0x:02.000"), {}, -1,
         "Error parsing line 1: character 16 in timestamp string is 'x', expected digit\n"},
        {"a user name too long", with("\"alice\"", "\"" + std::string(65, 'u') + "\""), {}, -1,
         "Error parsing line 1: username exceeds 64 characters\n"},
        {"a user name too long once its bytes are restored",
         with("\"alice\"", "\"\xff" + std::string(64, 'u') + "\""), {}, -1,
         "Error parsing line 1: username exceeds 64 characters\n"},
        {"a database name too long", with("\"shop\"", "\"" + std::string(65, 'd') + "\""), {}, -1,
         "Error parsing line 1: database name exceeds 64 characters\n"},
        {"a bad session id", with("6b19e410.1e27", "6b19e410.1E27"), {}, -1,
         "Error parsing line 1: character 11 in session id string is 'E', expected hex digit\n"},
    });
}

TEST(ParseJsonlogEntry, ReadsAHugeLineAndReportsAHugeDamagedOne) {
    const std::string statement = "statement: SELECT '" + std::string(5000000, 'x') + "'";
    struct row {
        std::string log;
        std::vector<parsed_entry> entries;
        int last_result;
        const char *messages;
    } rows[] = {
        {line("01.000", statement) + line("02.000", "small again"),
         {entry(1, 0, "alice", "shop", s1, log_log, statement),
          entry(2, 0, "alice", "shop", s1, log_log, "small again")},
         0, ""},
        {line("01.000", statement).substr(0, 4000000) + "\n", {}, -1,
         "Error parsing line 1: malformed JSON (A string is opened, but never closed.)\n"},
    };
    for (const auto &r : rows) {
        test_log log(r.log, json_format);
        stream_capture err(stderr);
        parse_run run = parse_all_entries(json_format);
        EXPECT_EQ(err.stop(), r.messages);
        EXPECT_EQ(run.last_result, r.last_result);
        EXPECT_TRUE(run.entries == r.entries);
    }
}

TEST(ParseJsonlogEntry, TracesCalls) {
    test_log input(line("01.000", "m"), json_format);
    debug_level_scope level(3);
    stream_capture err(stderr);
    parse_run run = parse_all_entries(json_format);
    EXPECT_EQ(err.stop(),
              "Entering parse_jsonlog_entry\n"
              "Entering read_log_line, current line number 1\n"
              "Leaving read_log_line\n"
              "Leaving parse_jsonlog_entry\n"
              "Entering parse_jsonlog_entry\n"
              "Entering read_log_line, current line number 2\n"
              "Encountered EOF\n"
              "Leaving read_log_line\n"
              "Leaving parse_jsonlog_entry\n"
              "Entering parse_jsonlog_entry\n"
              "Leaving parse_jsonlog_entry\n");
    EXPECT_EQ(run.entries.size(), 1u);
}

}  // namespace
