// Damaged or hostile logs through the binary: a clear message naming the
// line, exit status 1, no statistics, never a crash or a hang.
#include <gtest/gtest.h>

#include <string>

#include "support/run_binary.h"

namespace {

const std::string prefix = "2026-01-01 10:00:00.000 UTC|alice|shop|1.a|";
const std::string connect = prefix + "LOG:  connection authorized: user=alice database=shop\n";
const std::string json_connect =
    "{\"timestamp\":\"2026-01-01 10:00:00.000 UTC\",\"user\":\"alice\",\"dbname\":\"shop\","
    "\"session_id\":\"1.a\",\"error_severity\":\"LOG\",\"message\":\"connection authorized: "
    "user=alice database=shop\"}\n";

std::string giant_bind_list(int values) {
    std::string entry = prefix + "LOG:  execute s1: SELECT 1\n" + prefix + "DETAIL:  parameters: ";
    for (int i = 1; i <= values; ++i) {
        if (i > 1) entry += ", ";
        entry += "$" + std::to_string(i) + " = '" + std::to_string(i) + "'";
    }
    return entry + "\n";
}

TEST(BadLog, EndsWithAClearMessageAndStatusOne) {
    struct row {
        const char *what;
        std::vector<std::string> args;
        std::string log;
        std::string err;
    } rows[] = {
        {"no prefix", {}, "hello world\n",
         "Error parsing line 1: no \"|\" found - log_line_prefix may be wrong\n"},
        // Lines are counted by their newlines: a last line cut off before its
        // newline is not counted.
        {"truncated in the prefix", {}, connect + "2026-01-01 10:00:01.000 UTC|alice|sh",
         "Error parsing line 1: only 2 \"|\" found - log_line_prefix may be wrong\n"},
        {"bad time stamp", {}, "2026-01-01 10:0:00.000 UTC|alice|shop|1.a|LOG:  x\n",
         "Error parsing line 1: character 16 in timestamp string is ':', expected digit\n"},
        {"binary garbage", {}, connect + std::string("\x01\x02\x00\xff garbage\n", 13),
         "Error: NUL byte in line 2 of input file\n"},
        {"unclosed string literal", {}, prefix + "LOG:  statement: SELECT 'abc\n",
         "Error: string literal not closed near line 1\nHint: retry with the -q option\n"},
        {"unclosed comment", {}, prefix + "LOG:  statement: SELECT /* x\n",
         "Error: comment not closed in line 1\n"},
        {"bad bind value", {}, prefix + "LOG:  execute s1: SELECT $1\n" + prefix +
                                   "DETAIL:  parameters: $1 = 42\n",
         "Error: expected NULL in argument 0 in line 2\n"},
        {"execution without a name", {}, prefix + "LOG:  execute nothing\n",
         "Error: missing statement name in line 1\n"},
        {"second connection line", {}, connect + connect,
         "Error: duplicate session ID 0x10000000a\n"},
        {"CSV with an unclosed quote", {"-c"},
         "2026-01-01 10:00:00.000 UTC,\"alice,shop,1,,1.a,1,,,,,LOG,,\"stmt\n",
         "Error parsing line 1: comma number 2 not found (or unmatched quotes)\n"},
        {"CSV with too few columns", {"-c"}, "2026-01-01 10:00:00.000 UTC,alice,shop\n",
         "Error parsing line 1: comma number 3 not found (or unmatched quotes)\n"},
        {"jsonlog cut off", {}, json_connect + json_connect.substr(0, 50),
         "Error parsing line 1: malformed JSON (JSON document ended early in the middle of an "
         "object or array.)\n"},
        {"jsonlog line that is not an object", {}, json_connect + "[\"LOG\"]\n",
         "Error parsing line 2: not a JSON object\n"},
        {"jsonlog line without a session id", {"-c"},
         json_connect + "{\"timestamp\":\"2026-01-01 10:00:01.000 UTC\",\"error_severity\":\"LOG\"}\n",
         "Error parsing line 2: no \"session_id\" in the JSON object\n"},
        // -P: the server's prefix is not the one the log was written with,
        // the log is not a stderr log, a line after a good one does not match.
        {"a log of the default prefix read by another", {"-P", "%m [%p] "}, connect,
         "Error parsing line 1: line does not match log_line_prefix \"%m [%p] \"\n"},
        {"jsonlog read by a prefix", {"-P", "%m [%p] "}, json_connect,
         "Error: the log is in jsonlog format, option -P is for stderr logs only\n"},
        {"foreign line after an entry", {"-P", "%m [%p] %u@%d "},
         "2026-01-01 10:00:00.000 UTC [10] alice@shop LOG:  statement: SELECT 1\n"
         "FATAL: could not open file\n",
         "Error parsing line 2: line does not match log_line_prefix \"%m [%p] %u@%d \"\n"},
        {"more bind values than an execution can hold", {}, giant_bind_list(65535),
         "Error: more than 65534 bind arguments in line 2\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> args = row.args;
        args.push_back("-n");
        run_result result = run_quillrun(args, row.log);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, row.err);
        EXPECT_EQ(result.out, "");
    }
}

TEST(BadLog, TheLargestBindListStillWorks) {
    run_result result = run_quillrun({"-n"}, giant_bind_list(65534));
    EXPECT_EQ(result.status, 0) << result.err.substr(0, 200);
    EXPECT_NE(result.out.find("SQL statements executed: 1\n"), std::string::npos) << result.out;
}

}  // namespace
