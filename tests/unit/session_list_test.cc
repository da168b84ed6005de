// The session records' list and index, against a reference model, through
// long runs of interleaved connects and disconnects.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "database/session_list.h"

namespace {

std::vector<uint64_t> list_order(const session_list &list) {
    std::vector<uint64_t> ids;
    for (const session_connection *r = list.head; r != nullptr; r = r->next) {
        EXPECT_EQ(r->next == nullptr || r->next->previous == r, true);
        ids.push_back(r->session_id);
    }
    return ids;
}

TEST(SessionList, FindsEveryRecordThroughAddsAndRemovals) {
    session_list list;
    std::vector<session_connection> storage(3000);
    std::map<uint64_t, session_connection *> model;
    std::vector<uint64_t> order;  // newest first
    std::mt19937_64 random(7);
    size_t used = 0;
    for (int step = 0; step < 6000; ++step) {
        bool add = model.empty() || (used < storage.size() && random() % 3 != 0);
        if (add) {
            // Ids like the log's: a start time in the high half, a process id below.
            uint64_t id = (uint64_t{0x65a1b2c3} + random() % 4) << 32 | (1000 + used);
            session_connection *record = &storage[used++];
            record->session_id = id;
            ASSERT_TRUE(session_list_reserve(list));
            session_list_add(list, record);
            model[id] = record;
            order.insert(order.begin(), id);
        } else {
            auto victim = model.begin();
            std::advance(victim, static_cast<long>(random() % model.size()));
            session_list_remove(list, victim->second);
            order.erase(std::find(order.begin(), order.end(), victim->first));
            model.erase(victim);
        }
        ASSERT_EQ(list.count, model.size());
        if (step % 97 == 0 || model.size() < 3) {
            for (const auto &[id, record] : model) ASSERT_EQ(session_list_find(list, id), record);
            ASSERT_EQ(list_order(list), order);
        }
    }
    for (const auto &[id, record] : model) EXPECT_EQ(session_list_find(list, id), record);
    EXPECT_EQ(session_list_find(list, 42), nullptr);
    session_list_release_index(list);
}

}  // namespace
