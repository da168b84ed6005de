#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/provider_run.h"
#include "support/pg_server.h"

namespace {

// A real server records a small mixed workload once; the tests parse its
// stderr, CSV and jsonlog logs.
class RecordedLog : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = std::make_unique<pg_server>(true);
        run_workload();
        server->flush_log();
        from_stderr = parse_log_file(server->log_path());
        from_csv = parse_log_file(server->csv_log_path(), {.csv = true});
        from_json = parse_log_file(server->json_log_path());
    }
    static void TearDownTestSuite() { server.reset(); }

    static void shell(const std::string &command) {
        std::string output;
        ASSERT_EQ(server->shell(command, &output), 0) << command << "\n" << output;
    }

    static void run_workload() {
        server->psql("CREATE TABLE t (a int, b text)");
        server->psql("SELECT 1,\n       2");
        shell("psql -X -q -c 'SELECT * FROM no_such_table' 2>/dev/null; true");
        shell("printf '1\\tone\\n2\\ttwo\\n' | psql -X -q -c 'COPY t FROM STDIN'");
        // A statement cancelled from another session.
        shell("psql -X -q -c 'SELECT pg_sleep(30)' >/dev/null 2>&1 & "
              "for i in $(seq 100); do "
              "  r=$(psql -X -At -c \"SELECT pg_cancel_backend(pid) FROM pg_stat_activity "
              "       WHERE query = 'SELECT pg_sleep(30)'\"); "
              "  [ \"$r\" = t ] && break; sleep 0.1; "
              "done; wait");
        shell("pgbench -i -s 1 -q postgres >/dev/null 2>&1");
        for (const char *mode : {"simple", "extended", "prepared"})
            shell(std::string("pgbench -n -M ") + mode + " -c 2 -t 3 postgres >/dev/null 2>&1");
    }

    // Items per session, in log order.
    static std::map<uint64_t, std::vector<const parsed_item *>> by_session(
        const parse_result &result) {
        std::map<uint64_t, std::vector<const parsed_item *>> sessions;
        for (const auto &item : result.items) sessions[item.session_id].push_back(&item);
        return sessions;
    }

    static size_t count(const std::vector<const parsed_item *> &items, replay_type type,
                        const char *name = nullptr) {
        size_t n = 0;
        for (const parsed_item *item : items) {
            if (item->type != type) continue;
            if (name == nullptr || *item->data.at(type == pg_prepare ? 1 : 0) == name) ++n;
        }
        return n;
    }

    static bool has_statement(const parse_result &result, const std::string &statement) {
        for (const auto &item : result.items)
            if (item.type == pg_execute && item.data.at(0) == statement) return true;
        return false;
    }

    static std::unique_ptr<pg_server> server;
    static parse_result from_stderr;
    static parse_result from_csv;
    static parse_result from_json;
};

std::unique_ptr<pg_server> RecordedLog::server;
parse_result RecordedLog::from_stderr;
parse_result RecordedLog::from_csv;
parse_result RecordedLog::from_json;

TEST_F(RecordedLog, AllThreeFormatsGiveTheSameItems) {
    ASSERT_FALSE(from_stderr.failed) << from_stderr.messages;
    ASSERT_FALSE(from_csv.failed) << from_csv.messages;
    ASSERT_FALSE(from_json.failed) << from_json.messages;
    EXPECT_GT(from_stderr.items.size(), 100u);
    // Concurrent sessions may interleave differently in the two files, as
    // each backend sends both formats to the collector separately; each
    // session's own items must match.
    auto per_session = [](const parse_result &result) {
        std::map<uint64_t, std::vector<std::string>> texts;
        for (const auto &item : result.items) texts[item.session_id].push_back(item.text());
        return texts;
    };
    EXPECT_EQ(per_session(from_stderr), per_session(from_csv));
    EXPECT_EQ(per_session(from_json), per_session(from_csv));
    // Only the line count differs: the stderr log spreads DETAILs and
    // statement texts over more lines.
    auto without_line_count = [](std::string text) {
        size_t start = text.find("Log lines read: ");
        return text.erase(start, text.find('\n', start) - start);
    };
    EXPECT_EQ(without_line_count(from_stderr.statistics),
              without_line_count(from_csv.statistics));
    EXPECT_EQ(without_line_count(from_json.statistics), without_line_count(from_csv.statistics));
    // The warnings name other lines in each format; there are as many.
    auto warnings = [](const std::string &messages) {
        size_t n = 0;
        for (size_t at = messages.find("Warning: "); at != std::string::npos;
             at = messages.find("Warning: ", at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(warnings(from_json.messages), warnings(from_csv.messages));
    EXPECT_EQ(warnings(from_json.messages), warnings(from_stderr.messages));
}

TEST_F(RecordedLog, EverySessionConnectsFirstAndDisconnectsLast) {
    auto sessions = by_session(from_stderr);
    // psql: six sessions (two for the cancel); pgbench -i: one; three runs of
    // two clients plus a setup connection each.
    EXPECT_GE(sessions.size(), 13u);
    for (const auto &[id, items] : sessions) {
        EXPECT_EQ(items.front()->type, pg_connect) << std::hex << id;
        EXPECT_EQ(items.back()->type, pg_disconnect) << std::hex << id;
        EXPECT_EQ(count(items, pg_connect), 1u) << std::hex << id;
        EXPECT_EQ(count(items, pg_disconnect), 1u) << std::hex << id;
        EXPECT_EQ(*items.front()->data.at(0), "postgres");
        EXPECT_EQ(*items.front()->data.at(1), "postgres");
    }
}

TEST_F(RecordedLog, SimpleStatementsArriveAsSent) {
    EXPECT_TRUE(has_statement(from_stderr, "SELECT 1,\n       2"));
    EXPECT_TRUE(has_statement(from_stderr, "SELECT * FROM no_such_table"));
    EXPECT_TRUE(has_statement(from_stderr, std::string(17, ' ')));  // the COPY, blanked
    EXPECT_NE(from_stderr.messages.find("Warning: COPY statement ignored in line "),
              std::string::npos);
}

TEST_F(RecordedLog, CancelledStatementGivesACancelItem) {
    for (const auto &[id, items] : by_session(from_stderr)) {
        bool slept = false;
        for (const parsed_item *item : items)
            slept |= item->type == pg_execute && item->data.at(0) == "SELECT pg_sleep(30)";
        if (!slept) continue;
        EXPECT_EQ(count(items, pg_cancel), 1u);
        EXPECT_EQ(items.at(items.size() - 2)->type, pg_cancel);
        return;
    }
    ADD_FAILURE() << "no session ran the sleep";
}

TEST_F(RecordedLog, PreparedExecutionsCarryTheirValues) {
    size_t named_sessions = 0, unnamed_sessions = 0;
    for (const auto &[id, items] : by_session(from_stderr)) {
        size_t executions = count(items, pg_exec_prepared);
        if (executions == 0) continue;
        size_t unnamed = count(items, pg_exec_prepared, "");
        if (unnamed == executions) {
            // -M extended: every execution of the unnamed statement is
            // prepared again right before it.
            ++unnamed_sessions;
            EXPECT_EQ(count(items, pg_prepare, ""), unnamed);
            for (size_t i = 1; i < items.size(); ++i) {
                if (items[i]->type == pg_exec_prepared) {
                    EXPECT_EQ(items[i - 1]->type, pg_prepare);
                }
            }
        } else {
            // -M prepared: each named statement is prepared once, at its
            // first execution, and then reused.
            ++named_sessions;
            EXPECT_EQ(unnamed, 0u);
            size_t prepares = count(items, pg_prepare);
            EXPECT_GT(prepares, 0u);
            EXPECT_LT(prepares, executions);
        }
        // The tpcb-like script binds integers to $1..$3.
        for (const parsed_item *item : items) {
            if (item->type != pg_exec_prepared || item->data.size() < 2) continue;
            for (size_t v = 1; v < item->data.size(); ++v) {
                ASSERT_TRUE(item->data[v].has_value()) << item->text();
                EXPECT_EQ(item->data[v]->find_first_not_of("-0123456789"), std::string::npos)
                    << item->text();
            }
        }
    }
    EXPECT_EQ(named_sessions, 2u);
    EXPECT_EQ(unnamed_sessions, 2u);
}

TEST_F(RecordedLog, StatisticsCountWhatTheItemsShow) {
    size_t unnamed = 0, named = 0, named_prepares = 0, cancels = 0;
    for (const auto &item : from_stderr.items) {
        if (item.type == pg_exec_prepared) ++(item.data.at(0)->empty() ? unnamed : named);
        if (item.type == pg_prepare && !item.data.at(1)->empty()) ++named_prepares;
        if (item.type == pg_cancel) ++cancels;
    }
    const std::string &stats = from_stderr.statistics;
    auto has_line = [&](const std::string &text) {
        return stats.find("\n" + text + "\n") != std::string::npos;
    };
    EXPECT_TRUE(has_line("Parametrized SQL statements processed: " + std::to_string(unnamed)))
        << stats;
    EXPECT_TRUE(has_line("Named prepared SQL statements executions processed: " +
                         std::to_string(named)))
        << stats;
    EXPECT_TRUE(has_line("Different named prepared SQL statements processed: " +
                         std::to_string(named_prepares)))
        << stats;
    EXPECT_TRUE(has_line("Cancel requests processed: " + std::to_string(cancels))) << stats;
    EXPECT_NE(stats.find("ignored copy statements)\n"), std::string::npos) << stats;
}

}  // namespace
