#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parse/parse_state.h"
#include "parse/session_tracking.h"
#include "quillrun/alloc.h"
#include "support/capture.h"

namespace {

const struct timeval entry_time = {42, 7000};

class SessionTracking : public ::testing::Test {
protected:
    void SetUp() override { reset_parse_state(); }
    void TearDown() override { reset_parse_state(); }

    // Adds the session and returns its entry; *added tells whether it is new.
    connection_entry *add(uint64_t id, bool *added = nullptr) {
        connection_entry *entry = nullptr;
        replay_item *connect = nullptr;
        EXPECT_TRUE(add_connection(&entry_time, id, "alice", "shop", &entry, &connect));
        if (added != nullptr) *added = connect != nullptr;
        if (connect != nullptr) replay_free(connect);
        return entry;
    }

    // Ids of the open sessions in the order they are closed at the end.
    static std::vector<uint64_t> closing_order() {
        std::vector<uint64_t> ids;
        while (connection_entry *e = first_open_connection()) {
            ids.push_back(e->session_id);
            remove_connection(e->session_id);
        }
        return ids;
    }
};

TEST_F(SessionTracking, NewSessionGetsAConnectItemFromTheEntry) {
    connection_entry *entry = nullptr;
    replay_item *connect = nullptr;
    ASSERT_TRUE(add_connection(&entry_time, 0x4d1dd3b800001c4d, "alice", "shop", &entry, &connect));
    ASSERT_NE(connect, nullptr);
    EXPECT_EQ(replay_get_type(connect), pg_connect);
    EXPECT_EQ(replay_get_session_id(connect), 0x4d1dd3b800001c4du);
    EXPECT_EQ(replay_get_time(connect)->tv_sec, 42);
    EXPECT_EQ(replay_get_time(connect)->tv_usec, 7000);
    EXPECT_STREQ(replay_get_user(connect), "alice");
    EXPECT_STREQ(replay_get_database(connect), "shop");
    EXPECT_EQ(entry->session_id, 0x4d1dd3b800001c4du);
    replay_free(connect);
}

TEST_F(SessionTracking, SessionsSharingABucketStayApart) {
    const uint64_t first = 0x100000005, second = 0x200000005, other = 0x3;
    bool added = false;
    connection_entry *a = add(first, &added);
    EXPECT_TRUE(added);
    connection_entry *b = add(second, &added);
    EXPECT_TRUE(added);
    add(other);
    EXPECT_NE(a, b);
    EXPECT_EQ(add(first, &added), a);
    EXPECT_FALSE(added);
    EXPECT_EQ(add(second, &added), b);
    EXPECT_FALSE(added);

    EXPECT_FALSE(remove_connection(0x400000005));
    EXPECT_TRUE(remove_connection(first));
    EXPECT_FALSE(remove_connection(first));
    EXPECT_EQ(add(second, &added), b);
    EXPECT_FALSE(added);
    EXPECT_EQ(closing_order(), (std::vector<uint64_t>{other, second}));
}

TEST_F(SessionTracking, SessionsCloseInBucketOrderNewestFirst) {
    for (uint64_t id : {0x1ffull, 0x101ull, 0x2ull, 0x201ull, 0x100000001ull}) add(id);
    EXPECT_EQ(closing_order(), (std::vector<uint64_t>{0x100000001, 0x201, 0x101, 0x2, 0x1ff}));
    EXPECT_EQ(first_open_connection(), nullptr);
}

TEST_F(SessionTracking, PreparesEachNameOncePerSession) {
    connection_entry *session = add(1);
    struct step {
        const char *name;
        pstmt_status expected;
    } steps[] = {
        {"", pstmt_status::prepare_needed},
        {"", pstmt_status::prepare_needed},
        {"s1", pstmt_status::prepare_needed},
        {"s1", pstmt_status::prepare_not_needed},
        {"S1", pstmt_status::prepare_needed},
        {"s1", pstmt_status::prepare_not_needed},
    };
    for (const auto &s : steps) EXPECT_EQ(add_pstmt(session, s.name), s.expected) << s.name;
    EXPECT_EQ(parse_unit_state().statistics.parametrized_statements, 2u);
    EXPECT_EQ(parse_unit_state().statistics.named_statements, 2u);
    EXPECT_EQ(parse_unit_state().statistics.named_executions, 4u);

    remove_pstmt(session, "s1");
    EXPECT_EQ(add_pstmt(session, "s1"), pstmt_status::prepare_needed);
    EXPECT_EQ(add_pstmt(session, "S1"), pstmt_status::prepare_not_needed);
    EXPECT_EQ(parse_unit_state().statistics.named_statements, 3u);

    remove_all_pstmts(session);
    EXPECT_EQ(session->prepared_statements, nullptr);
    remove_all_pstmts(session);
    EXPECT_EQ(add_pstmt(session, "S1"), pstmt_status::prepare_needed);
}

TEST_F(SessionTracking, ANewSessionStartsWithoutNames) {
    add_pstmt(add(9), "s1");
    ASSERT_TRUE(remove_connection(9));
    EXPECT_EQ(add_pstmt(add(9), "s1"), pstmt_status::prepare_needed);
    EXPECT_EQ(add_pstmt(add(10), "s1"), pstmt_status::prepare_needed);
}

TEST_F(SessionTracking, TracesAndDebugMessagesNameTheirSubject) {
    debug_level_scope level(3);
    stream_capture err(stderr);
    connection_entry *entry = nullptr;
    replay_item *connect = nullptr;
    add_connection(&entry_time, 0xab00000001, "u", "d", &entry, &connect);
    replay_free(connect);
    add_pstmt(entry, "q");
    add_pstmt(entry, "q");
    remove_pstmt(entry, "zz");
    remove_connection(0xab00000001);
    EXPECT_EQ(err.stop(),
              "Entering add_connection for session 0xab00000001\n"
              "Entering replay_create_connect\nLeaving replay_create_connect\n"
              "Leaving add_connection\n"
              "Entering replay_free\nLeaving replay_free\n"
              "Entering add_pstmt for statement \"q\"\n"
              "Adding prepared statement to list\n"
              "Leaving add_pstmt\n"
              "Entering add_pstmt for statement \"q\"\n"
              "Prepared statement is already in list\n"
              "Leaving add_pstmt\n"
              "Entering remove_pstmt for statement \"zz\"\n"
              "Prepared statement not found\n"
              "Leaving remove_pstmt\n"
              "Entering remove_connection for session 0xab00000001\n"
              "Entering remove_all_pstmts\nLeaving remove_all_pstmts\n"
              "Leaving remove_connection\n");
}

TEST_F(SessionTracking, AllocationFailuresRegisterNothing) {
    const std::string item_size = std::to_string(sizeof(replay_item));
    const std::string entry_size = std::to_string(sizeof(connection_entry));
    // Allocations of add_connection: item, its array, user, database, entry.
    struct row {
        long failing;
        std::string message;
    } rows[] = {
        {1, "Cannot allocate " + item_size + " bytes of memory\n"},
        {4, "Cannot allocate 5 bytes of memory\n"},
        {5, "Cannot allocate " + entry_size + " bytes of memory\n"},
    };
    for (const auto &row : rows) {
        connection_entry *entry = nullptr;
        replay_item *connect = nullptr;
        stream_capture err(stderr);
        qr_fail_allocation_after(row.failing);
        bool ok = add_connection(&entry_time, 5, "alice", "shop", &entry, &connect);
        qr_fail_allocation_after(0);
        EXPECT_FALSE(ok) << row.failing;
        EXPECT_EQ(connect, nullptr) << row.failing;
        EXPECT_EQ(err.stop(), row.message) << row.failing;
        EXPECT_EQ(first_open_connection(), nullptr) << row.failing;
    }
}

TEST_F(SessionTracking, AllocationFailuresLeaveTheNameUnlisted) {
    connection_entry *session = add(1);
    struct row {
        long failing;
        std::string message;
    } rows[] = {
        {1, "Cannot allocate " + std::to_string(sizeof(pstmt_entry)) + " bytes of memory\n"},
        {2, "Cannot allocate 7 bytes of memory\n"},
    };
    for (const auto &row : rows) {
        stream_capture err(stderr);
        qr_fail_allocation_after(row.failing);
        pstmt_status status = add_pstmt(session, "stmt_1");
        qr_fail_allocation_after(0);
        EXPECT_EQ(status, pstmt_status::error);
        EXPECT_EQ(err.stop(), row.message);
        EXPECT_EQ(session->prepared_statements, nullptr);
        EXPECT_EQ(parse_unit_state().statistics.named_statements, 0u);
    }
}

}  // namespace
