#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "quillrun/alloc.h"
#include "quillrun/replay_item.h"
#include "support/capture.h"

namespace {

const struct timeval t0 = {12, 345};

TEST(ReplayItem, ConstructorsFillTypeCountAndStrings) {
    replay_item *connect = replay_create_connect(&t0, 7, "alice", "shop");
    ASSERT_NE(connect, nullptr);
    EXPECT_EQ(replay_get_type(connect), pg_connect);
    EXPECT_EQ(connect->count, 2);
    EXPECT_STREQ(replay_get_user(connect), "alice");
    EXPECT_STREQ(replay_get_database(connect), "shop");
    EXPECT_EQ(replay_get_session_id(connect), 7u);
    EXPECT_EQ(replay_get_time(connect)->tv_sec, 12);
    EXPECT_EQ(replay_get_time(connect)->tv_usec, 345);
    replay_free(connect);

    replay_item *prepare = replay_create_prepare(&t0, 7, "s1", "SELECT $1");
    ASSERT_NE(prepare, nullptr);
    EXPECT_EQ(prepare->count, 2);
    EXPECT_STREQ(prepare->data[0], "SELECT $1");  // statement first in data
    EXPECT_STREQ(replay_get_name(prepare), "s1");
    EXPECT_STREQ(replay_get_statement(prepare), "SELECT $1");
    replay_free(prepare);

    for (auto make : {replay_create_disconnect, replay_create_cancel}) {
        replay_item *r = make(&t0, 9);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->count, 0);
        EXPECT_EQ(r->data, nullptr);
        replay_free(r);
    }
}

TEST(ReplayItem, ExecPreparedCopiesValuesAndKeepsNulls) {
    std::string first = "abc";
    const char *values[] = {first.c_str(), nullptr, ""};
    replay_item *r = replay_create_exec_prepared(&t0, 1, "s1", 3, values);
    ASSERT_NE(r, nullptr);
    first[0] = 'X';  // the item holds its own copy
    ASSERT_EQ(replay_get_valuecount(r), 3);
    const char *const *got = replay_get_values(r);
    EXPECT_STREQ(got[0], "abc");
    EXPECT_EQ(got[1], nullptr);
    EXPECT_STREQ(got[2], "");
    EXPECT_STREQ(replay_get_name(r), "s1");
    replay_free(r);

    replay_item *empty = replay_create_exec_prepared(&t0, 1, "", 0, nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->count, 1);
    EXPECT_EQ(replay_get_valuecount(empty), 0);
    EXPECT_EQ(replay_get_values(empty), empty->data + 1);
    replay_free(empty);
}

TEST(ReplayItem, RefusesMoreValuesThanTheCountCanHold) {
    stream_capture err(stderr);
    replay_item *r = replay_create_exec_prepared(&t0, 1, "s", 65535, nullptr);
    EXPECT_EQ(r, nullptr);
    EXPECT_NE(err.stop().find("cannot have more than 65534 values"), std::string::npos);
}

// Each row fails the n-th allocation of a constructor and expects the size
// it reports (the leak checker of the sanitizer build verifies the clean-up).
TEST(ReplayItem, AllocationFailuresReportTheSizeAndReturnNull) {
    const char *values[] = {"v1", "value2", "third", "4", "5"};
    struct row {
        const char *what;
        long failing_allocation;
        unsigned long reported_size;
    } rows[] = {
        {"record", 1, sizeof(replay_item)},
        {"array", 2, 6 * sizeof(char *)},
        {"name", 3, 5},
        {"third value", 6, 6},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        stream_capture err(stderr);
        qr_fail_allocation_after(row.failing_allocation);
        replay_item *r = replay_create_exec_prepared(&t0, 1, "name", 5, values);
        qr_fail_allocation_after(0);
        EXPECT_EQ(r, nullptr);
        EXPECT_EQ(err.stop(), "Cannot allocate " + std::to_string(row.reported_size) +
                                  " bytes of memory\n");
    }
    stream_capture err(stderr);
    qr_fail_allocation_after(4);  // record, array, user, then the database copy
    EXPECT_EQ(replay_create_connect(&t0, 1, "user", "database"), nullptr);
    qr_fail_allocation_after(0);
    EXPECT_EQ(err.stop(), "Cannot allocate 9 bytes of memory\n");
}

TEST(ReplayItem, DebugDumpFormatsEveryType) {
    debug_level_scope level(1);
    std::string hundred(100, 'a');
    std::string ninety_nine(99, 'b');
    const char *values[] = {hundred.c_str(), nullptr, ninety_nine.c_str()};
    struct timeval when = {5, 42};
    replay_item *r = replay_create_exec_prepared(&when, 0x4d1dd3b800001c4dULL, "stmt", 3, values);
    stream_capture err(stderr);
    replay_print_debug(r);
    EXPECT_EQ(err.stop(),
              "---------------------------\n"
              "Item: time       = 5.000042\n"
              "      session id = 0x4d1dd3b800001c4d\n"
              "      type       = exec_prepared\n"
              "      name       = stmt\n"
              "      $1         = " + hundred + "...\n"
              "      $2         = (null)\n"
              "      $3         = " + ninety_nine + "\n"
              "---------------------------\n");
    replay_free(r);

    replay_item *cancel = replay_create_cancel(&when, 1);
    stream_capture cancel_err(stderr);
    replay_print_debug(cancel);
    EXPECT_EQ(cancel_err.stop(),
              "---------------------------\n"
              "Item: time       = 5.000042\n"
              "      session id = 0x1\n"
              "      type       = cancel\n"
              "---------------------------\n");
    replay_free(cancel);

    replay_item *prepare = replay_create_prepare(&when, 1, "n", "SELECT 1");
    stream_capture prepare_err(stderr);
    replay_print_debug(prepare);
    EXPECT_NE(prepare_err.stop().find("      name       = n\n      statement  = SELECT 1\n"),
              std::string::npos);
    replay_free(prepare);
}

TEST(ReplayItem, DebugDumpIsSilentAtLevelZeroAndTracesAtThree) {
    replay_item *r = replay_create_execute(&t0, 1, "SELECT 1");
    {
        debug_level_scope level(0);
        stream_capture err(stderr);
        replay_print_debug(r);
        EXPECT_EQ(err.stop(), "");
    }
    debug_level_scope level(3);
    stream_capture err(stderr);
    replay_free(r);
    replay_item *again = replay_create_disconnect(&t0, 1);
    replay_free(again);
    EXPECT_EQ(err.stop(),
              "Entering replay_free\nLeaving replay_free\n"
              "Entering replay_create_disconnect\nLeaving replay_create_disconnect\n"
              "Entering replay_free\nLeaving replay_free\n");
}

TEST(ReplayItem, EndItemIsTheSentinel) {
    EXPECT_EQ(end_item->type, static_cast<replay_type>(-1));
    EXPECT_EQ(end_item->count, 0);
    EXPECT_EQ(end_item->data, nullptr);
}

TEST(ReplayItemDeathTest, AccessorOnWrongTypeStopsWithTheCondition) {
    replay_item *r = replay_create_cancel(&t0, 1);
    EXPECT_DEATH(replay_get_statement(r), "replayitem.*\\(pg_execute == r->type\\) \\|\\| \\(pg_prepare == r->type\\)");
    EXPECT_DEATH(replay_get_user(r), "replayitem.*pg_connect == r->type");
    EXPECT_DEATH(replay_get_values(r), "replayitem.*pg_exec_prepared == r->type");
    replay_free(r);
}

}  // namespace
