#include <gtest/gtest.h>

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

// One server writes the same workload in both formats.
class ServerLog : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new pg_server(true);
        server->psql(multi_line_statement);
        server->shell("psql -X -q -c 'SELECT 1/0'");
        // An extended-protocol execution logs its bind values as a DETAIL.
        temp_dir dir;
        write_file(dir.file("script.sql"), "\\set v 5\nSELECT :v::int, 'x''y';\n");
        server->shell("pgbench -n -t 2 -M extended -f " + shell_quote(dir.file("script.sql")) +
                      " postgres");
        server->stop();
        stderr_log = read_file(server->log_path());
        csv_log = read_file(server->csv_log_path());
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }

    static parse_run parse(const std::string &text, int csv) {
        test_log log(text, csv);
        stream_capture err(stderr);
        parse_run run = parse_all_entries(csv);
        EXPECT_EQ(err.stop(), "") << "csv " << csv;
        EXPECT_EQ(run.last_result, 0) << "csv " << csv;
        return run;
    }

    static pg_server *server;
    static std::string stderr_log;
    static std::string csv_log;
};

pg_server *ServerLog::server = nullptr;
std::string ServerLog::stderr_log;
std::string ServerLog::csv_log;

const parsed_entry *find_message(const std::vector<parsed_entry> &entries,
                                 const std::string &message) {
    for (const auto &entry : entries)
        if (entry.message == message) return &entry;
    return nullptr;
}

TEST_F(ServerLog, BothFormatsGiveTheSameEntries) {
    parse_run from_stderr = parse(stderr_log, 0);
    parse_run from_csv = parse(csv_log, 1);
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
    EXPECT_EQ(comparable, from_csv.entries);
    EXPECT_GT(from_csv.entries.size(), 10u);
}

TEST_F(ServerLog, KeepsStatementsAndBindValuesIntact) {
    for (int csv : {0, 1}) {
        parse_run run = parse(csv ? csv_log : stderr_log, csv);
        const parsed_entry *statement =
            find_message(run.entries, std::string("statement: ") + multi_line_statement);
        ASSERT_NE(statement, nullptr) << "csv " << csv;
        EXPECT_EQ(statement->type, log_log);
        EXPECT_EQ(statement->user, "postgres");
        EXPECT_EQ(statement->database, "postgres");

        const parsed_entry *execute =
            find_message(run.entries, "execute <unnamed>: SELECT $1::int, 'x''y';");
        ASSERT_NE(execute, nullptr) << "csv " << csv;
        EXPECT_EQ(execute->detail, "parameters: $1 = '5'");

        const parsed_entry *error = find_message(run.entries, "division by zero");
        ASSERT_NE(error, nullptr) << "csv " << csv;
        EXPECT_EQ(error->type, log_error);
    }
}

}  // namespace
