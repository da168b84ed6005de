#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/pg_server.h"
#include "support/run_binary.h"
#include "support/test_log.h"

namespace {

const char multi_line_statement[] =
    "SELECT 'a|b:  c' AS \"odd, name\",\n"
    "       2 AS second -- with a comment\n"
    "FROM generate_series(1, 1)";
// Characters that the jsonlog format escapes, and text beyond ASCII.
const char escaped_statement[] =
    "SELECT 'tab\there', 'quote\" and '' ', E'back\\\\slash', '\x01\x1f', 'ünïcödé € 😀'";
// The same bytes as a LATIN1 database writes them into every log: not UTF-8.
const char latin1_statement[] = "SELECT 'caf\xe9', '\xe0 la carte'";

// One server writes the same workload in all three formats.
class ServerLog : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new pg_server(true);
        server->psql(multi_line_statement);
        server->psql(escaped_statement);
        server->psql("CREATE DATABASE latin1 ENCODING 'LATIN1' TEMPLATE template0 "
                     "LC_COLLATE 'C' LC_CTYPE 'C'");
        temp_dir latin1;
        write_file(latin1.file("latin1.sql"), std::string(latin1_statement) + ";\n");
        server->shell("PGCLIENTENCODING=LATIN1 psql -X -q -d latin1 -f " +
                      shell_quote(latin1.file("latin1.sql")));
        server->shell("psql -X -q -c 'SELECT 1/0'");
        // An extended-protocol execution logs its bind values as a DETAIL.
        temp_dir dir;
        write_file(dir.file("script.sql"), "\\set v 5\nSELECT :v::int, 'x''y';\n");
        server->shell("pgbench -n -t 2 -M extended -f " + shell_quote(dir.file("script.sql")) +
                      " postgres");
        server->stop();
        stderr_log = read_file(server->log_path());
        csv_log = read_file(server->csv_log_path());
        json_log = read_file(server->json_log_path());
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }

    static parse_run parse(const std::string &text, int format) {
        test_log log(text, format);
        stream_capture err(stderr);
        parse_run run = parse_all_entries(format);
        EXPECT_EQ(err.stop(), "") << "format " << format;
        EXPECT_EQ(run.last_result, 0) << "format " << format;
        return run;
    }
    static const std::string &log_of(int format) {
        return format == json_format ? json_log : format == csv_format ? csv_log : stderr_log;
    }

    static pg_server *server;
    static std::string stderr_log;
    static std::string csv_log;
    static std::string json_log;
};

pg_server *ServerLog::server = nullptr;
std::string ServerLog::stderr_log;
std::string ServerLog::csv_log;
std::string ServerLog::json_log;

// Entries per session, in log order.  Each backend sends its entries to
// every log on its own, so where a session's entries fall between another
// session's may differ from log to log (a client that connects while the
// backend of the last one still logs its disconnection).
std::map<uint64_t, std::vector<parsed_entry>> per_session(const std::vector<parsed_entry> &entries) {
    std::map<uint64_t, std::vector<parsed_entry>> sessions;
    for (const auto &entry : entries) sessions[entry.session_id].push_back(entry);
    return sessions;
}

const parsed_entry *find_message(const std::vector<parsed_entry> &entries,
                                 const std::string &message) {
    for (const auto &entry : entries)
        if (entry.message == message) return &entry;
    return nullptr;
}

TEST_F(ServerLog, AllThreeFormatsGiveTheSameEntries) {
    parse_run from_stderr = parse(stderr_log, stderr_format);
    parse_run from_csv = parse(csv_log, csv_format);
    parse_run from_json = parse(json_log, json_format);
    // The stderr log writes a STATEMENT or HINT as an entry of its own and a
    // session not yet authenticated as [unknown]; the CSV log keeps the
    // former in columns of the entry and leaves the latter empty.
    std::vector<parsed_entry> comparable;
    for (auto entry : from_stderr.entries) {
        if (entry.type == log_unknown) continue;
        if (entry.user == "[unknown]") entry.user.clear();
        if (entry.database == "[unknown]") entry.database.clear();
        comparable.push_back(entry);
    }
    EXPECT_EQ(per_session(comparable), per_session(from_csv.entries));
    EXPECT_EQ(per_session(from_json.entries), per_session(from_csv.entries));
    EXPECT_GT(from_csv.entries.size(), 10u);
}

TEST_F(ServerLog, KeepsStatementsAndBindValuesIntact) {
    for (int format : {stderr_format, csv_format, json_format}) {
        parse_run run = parse(log_of(format), format);
        for (const char *text : {multi_line_statement, escaped_statement}) {
            const parsed_entry *statement =
                find_message(run.entries, std::string("statement: ") + text);
            ASSERT_NE(statement, nullptr) << "format " << format << ": " << text;
            EXPECT_EQ(statement->type, log_log);
            EXPECT_EQ(statement->user, "postgres");
            EXPECT_EQ(statement->database, "postgres");
        }
        const parsed_entry *latin1 =
            find_message(run.entries, std::string("statement: ") + latin1_statement + ";");
        ASSERT_NE(latin1, nullptr) << "format " << format;
        EXPECT_EQ(latin1->database, "latin1");

        const parsed_entry *execute =
            find_message(run.entries, "execute <unnamed>: SELECT $1::int, 'x''y';");
        ASSERT_NE(execute, nullptr) << "format " << format;
        EXPECT_EQ(execute->detail, "parameters: $1 = '5'");

        const parsed_entry *error = find_message(run.entries, "division by zero");
        ASSERT_NE(error, nullptr) << "format " << format;
        EXPECT_EQ(error->type, log_error);
    }
}

}  // namespace
