#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "main/driver.h"
#include "quillrun/settings.h"

namespace {

// A scripted provider and consumer that record every call.
struct script {
    std::vector<std::string> calls;
    int provider_init_result = 1;
    int consumer_init_result = 1;
    int consumer_complete_result = 1;
    std::vector<replay_item *> items;  // what the provider returns, in order
    size_t next_item = 0;
    std::vector<int> answers;          // what the consumer answers, in order
    size_t next_answer = 0;
    std::vector<FILE *> streams_at_finish;
    int finish_dry_run = -1;
} current;

replay_item item_a{}, item_b{};

replay_item *fake_provider() {
    current.calls.push_back("provide");
    return current.items.at(current.next_item++);
}
int fake_provider_init(const char *, int, const char *, const char *, const char *, const char *) {
    current.calls.push_back("provider_init");
    return current.provider_init_result;
}
void fake_provider_finish() {
    current.calls.push_back("provider_finish");
    current.streams_at_finish.push_back(stats_stream);
}
int fake_consumer(replay_item *item) {
    current.calls.push_back(item == &item_a ? "consume a" : "consume b");
    return current.answers.at(current.next_answer++);
}
int fake_consumer_init(const char *, const char *, int, const char *, double) {
    current.calls.push_back("consumer_init");
    return current.consumer_init_result;
}
void fake_consumer_finish(int dry_run) {
    current.calls.push_back("consumer_finish");
    current.streams_at_finish.push_back(stats_stream);
    current.finish_dry_run = dry_run;
}

int fake_consumer_complete() {
    current.calls.push_back("consumer_complete");
    return current.consumer_complete_result;
}

const pipeline_operations fakes = {fake_provider,      fake_provider_init, fake_provider_finish,
                                   fake_consumer,      fake_consumer_init, fake_consumer_finish,
                                   fake_consumer_complete};

int run(script s, run_options options = {}) {
    current = std::move(s);
    return run_pipeline(fakes, options);
}

using calls = std::vector<std::string>;

TEST(Driver, EndAtOnceRunsBothFinishesAndKeepsStatistics) {
    script s;
    s.items = {end_item};
    EXPECT_EQ(run(s), 0);
    EXPECT_EQ(current.calls, (calls{"provider_init", "consumer_init", "provide",
                                    "consumer_complete", "provider_finish", "consumer_finish"}));
    EXPECT_EQ(current.streams_at_finish, (std::vector<FILE *>{stdout, stdout}));
}

TEST(Driver, OffersAnItemAgainUntilTaken) {
    script s;
    s.items = {&item_a, &item_b, end_item};
    s.answers = {0, 0, 0, 1, 1};
    run_options options;
    options.dry_run = 1;
    EXPECT_EQ(run(s, options), 0);
    EXPECT_EQ(current.calls,
              (calls{"provider_init", "consumer_init", "provide", "consume a", "consume a",
                     "consume a", "consume a", "provide", "consume b", "provide",
                     "consumer_complete", "provider_finish", "consumer_finish"}));
    EXPECT_EQ(current.finish_dry_run, 1);
}

TEST(Driver, FailuresStopTheRunSuppressStatisticsAndStillFinish) {
    struct row {
        const char *what;
        script s;
        calls expected;
    } rows[] = {
        {"provider init fails", [] { script s; s.provider_init_result = 0; return s; }(),
         {"provider_init", "provider_finish", "consumer_finish"}},
        {"consumer init fails", [] { script s; s.consumer_init_result = 0; return s; }(),
         {"provider_init", "consumer_init", "provider_finish", "consumer_finish"}},
        {"consumer error", [] { script s; s.items = {&item_a}; s.answers = {-1}; return s; }(),
         {"provider_init", "consumer_init", "provide", "consume a", "provider_finish",
          "consumer_finish"}},
        {"unexpected consumer answer",
         [] { script s; s.items = {&item_a}; s.answers = {2}; return s; }(),
         {"provider_init", "consumer_init", "provide", "consume a", "provider_finish",
          "consumer_finish"}},
        {"provider error", [] { script s; s.items = {&item_a, nullptr}; s.answers = {1}; return s; }(),
         {"provider_init", "consumer_init", "provide", "consume a", "provide", "provider_finish",
          "consumer_finish"}},
        {"the consumer cannot complete its work",
         [] { script s; s.items = {end_item}; s.consumer_complete_result = 0; return s; }(),
         {"provider_init", "consumer_init", "provide", "consumer_complete", "provider_finish",
          "consumer_finish"}},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(run(row.s), 1);
        EXPECT_EQ(current.calls, row.expected);
        EXPECT_EQ(current.streams_at_finish, (std::vector<FILE *>{nullptr, nullptr}));
    }
}

TEST(Driver, StatisticsStayOutOfAReplayFileOnStandardOutput) {
    struct row {
        bool write_file;
        const char *outfile;
        FILE *expected;
    } rows[] = {
        {true, nullptr, stderr},
        {true, "-", stderr},
        {true, "out.bin", stdout},
        {false, nullptr, stdout},
    };
    for (const auto &row : rows) {
        run_options options;
        options.write_file = row.write_file;
        options.outfile = row.outfile;
        EXPECT_EQ(choose_stats_stream(options), row.expected) << (row.outfile ? row.outfile : "null");
    }
}

}  // namespace
