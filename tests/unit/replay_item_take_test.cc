// The constructors that take over their strings must be indistinguishable
// from the copying ones: same item, same trace, same messages on failure.
// The sanitizer build's leak checker verifies that a failing one frees
// what it was given.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "quillrun/alloc.h"
#include "quillrun/replay_item.h"
#include "support/capture.h"

namespace {

const struct timeval when = {5, 42};

char *owned(const char *text) { return text == nullptr ? nullptr : qr_strdup(text); }

char **owned_values(const std::vector<const char *> &values) {
    auto **array = static_cast<char **>(qr_malloc(values.size() * sizeof(char *)));
    for (size_t i = 0; i < values.size(); ++i) array[i] = owned(values[i]);
    return array;
}

// What a constructor prints at debug level 3 and the dump of its item.
std::string build_and_dump(const std::function<replay_item *()> &build, uint16_t *count) {
    debug_level_scope level(3);
    stream_capture err(stderr);
    replay_item *item = build();
    if (item != nullptr) {
        replay_print_debug(item);
        *count = item->count;
        replay_free(item);
    }
    return err.stop();
}

TEST(ReplayItemTake, BuildsTheSameItemsAsTheCopyingConstructors) {
    const std::vector<const char *> values = {"1", nullptr, "", "it's"};
    struct row {
        const char *what;
        std::function<replay_item *()> copying, taking;
    } rows[] = {
        {"connect", [] { return replay_create_connect(&when, 1, "alice", "shop"); },
         [] { return replay_take_connect(&when, 1, owned("alice"), owned("shop")); }},
        {"execute", [] { return replay_create_execute(&when, 2, "SELECT 1"); },
         [] { return replay_take_execute(&when, 2, owned("SELECT 1")); }},
        {"prepare", [] { return replay_create_prepare(&when, 3, "s1", "SELECT $1"); },
         [] { return replay_take_prepare(&when, 3, owned("s1"), owned("SELECT $1")); }},
        {"exec_prepared",
         [&] { return replay_create_exec_prepared(&when, 4, "s1", 4, values.data()); },
         [&] { return replay_take_exec_prepared(&when, 4, owned("s1"), 4, owned_values(values)); }},
        {"exec_prepared without values array",
         [] { return replay_create_exec_prepared(&when, 5, "s2", 0, nullptr); },
         [] { return replay_take_exec_prepared(&when, 5, owned("s2"), 0, nullptr); }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        uint16_t copied_count = 0, taken_count = 0;
        std::string copied = build_and_dump(row.copying, &copied_count);
        std::string taken = build_and_dump(row.taking, &taken_count);
        EXPECT_NE(copied.find("Leaving replay_create_"), std::string::npos);
        EXPECT_EQ(taken, copied);
        EXPECT_EQ(taken_count, copied_count);
    }
}

// Makes the strings, then lets the failing-th allocation after them fail.
void fail_after_strings(long failing_allocation) { qr_fail_allocation_after(failing_allocation); }

TEST(ReplayItemTake, FailuresReportLikeTheCopyingConstructorsAndFreeTheStrings) {
    const std::string record = std::to_string(sizeof(replay_item));
    using build = std::function<replay_item *(long)>;
    struct row {
        const char *what;
        long failing_allocation;  // counted from the constructor's call
        build make;
        std::string err;
    } rows[] = {
        {"connect record", 1,
         [](long failing) {
             char *user = owned("u"), *database = owned("d");
             fail_after_strings(failing);
             return replay_take_connect(&when, 1, user, database);
         },
         "Cannot allocate " + record + " bytes of memory\n"},
        {"prepare array", 2,
         [](long failing) {
             char *name = owned("n"), *statement = owned("s");
             fail_after_strings(failing);
             return replay_take_prepare(&when, 1, name, statement);
         },
         "Cannot allocate " + std::to_string(2 * sizeof(char *)) + " bytes of memory\n"},
        {"execution record", 1,
         [](long failing) {
             char *name = owned("n");
             char **values = owned_values({"a", nullptr});
             fail_after_strings(failing);
             return replay_take_exec_prepared(&when, 1, name, 2, values);
         },
         "Cannot allocate " + record + " bytes of memory\n"},
        {"execution array", 2,
         [](long failing) {
             char *name = owned("n");
             char **values = owned_values({"a", "b"});
             fail_after_strings(failing);
             return replay_take_exec_prepared(&when, 1, name, 2, values);
         },
         "Cannot allocate " + std::to_string(3 * sizeof(char *)) + " bytes of memory\n"},
        {"too many values", 0,
         [](long) {
             return replay_take_exec_prepared(&when, 1, owned("n"), 65535,
                                              owned_values(std::vector<const char *>(65535, "v")));
         },
         "Error: a prepared statement execution cannot have more than 65534 values\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        stream_capture err(stderr);
        replay_item *item = row.make(row.failing_allocation);
        qr_fail_allocation_after(0);
        EXPECT_EQ(item, nullptr);
        EXPECT_EQ(err.stop(), row.err);
    }
}

}  // namespace
