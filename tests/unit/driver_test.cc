#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <vector>

#include "main/driver.h"
#include "quillrun/interrupt.h"
#include "quillrun/settings.h"
#include "support/capture.h"

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
    std::string interrupt_at;  // the call during which SIGINT arrives
} current;

void record(const std::string &call) {
    current.calls.push_back(call);
    if (call == current.interrupt_at) raise(SIGINT);
}

replay_item item_a{}, item_b{};
const struct timeval item_time = {1, 0};

replay_item *fake_provider() {
    record("provide");
    return current.items.at(current.next_item++);
}
int fake_provider_init(const char *, int, const char *, const char *, const char *, const char *) {
    record("provider_init");
    return current.provider_init_result;
}
void fake_provider_finish() {
    record("provider_finish");
    current.streams_at_finish.push_back(stats_stream);
}
int fake_consumer(replay_item *item) {
    record(item == &item_a ? "consume a" : item == &item_b ? "consume b" : "consume item");
    return current.answers.at(current.next_answer++);
}
int fake_consumer_init(const char *, const char *, int, const char *, double) {
    record("consumer_init");
    return current.consumer_init_result;
}
void fake_consumer_finish(int dry_run) {
    record("consumer_finish");
    current.streams_at_finish.push_back(stats_stream);
    current.finish_dry_run = dry_run;
}

int fake_consumer_complete() {
    record("consumer_complete");
    return current.consumer_complete_result;
}

const pipeline_operations fakes = {fake_provider,      fake_provider_init, fake_provider_finish,
                                   fake_consumer,      fake_consumer_init, fake_consumer_finish,
                                   fake_consumer_complete};

int run(script s, run_options options = {}) {
    current = std::move(s);
    interrupt_reset();
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

// SIGINT arriving during one call or another, through the real handler.
// Up to the completion it ends the run with 130: a replay keeps its
// statistics after a line saying so, a replay file run prints none.  A
// failure reported once it has arrived is taken for the interrupt.
TEST(Driver, AnInterruptEndsTheRunInOrder) {
    ASSERT_TRUE(interrupt_install());
    const std::string line =
        "\nReplay interrupted by SIGINT: the statistics cover what was replayed until then\n";
    struct row {
        const char *what;
        script s;
        bool write_file;
        int status;
        calls expected;
        std::string out;
        std::string err;
    } rows[] = {
        {"before the first item is offered",
         [] { script s; s.items = {replay_create_cancel(&item_time, 1)}; s.interrupt_at = "provide";
              return s; }(),
         false, 130, {"provider_init", "consumer_init", "provide", "provider_finish",
                      "consumer_finish"}, line, ""},
        // The item not taken is the driver's: it releases it.
        {"while an item is not yet taken",
         [] { script s; s.items = {replay_create_cancel(&item_time, 1)}; s.answers = {0};
              s.interrupt_at = "consume item"; return s; }(),
         false, 130, {"provider_init", "consumer_init", "provide", "consume item",
                      "provider_finish", "consumer_finish"}, line, ""},
        {"a consumer's wait cut short",
         [] { script s; s.items = {&item_a}; s.answers = {-1}; s.interrupt_at = "consume a";
              return s; }(),
         false, 130, {"provider_init", "consumer_init", "provide", "consume a", "provider_finish",
                      "consumer_finish"}, line, ""},
        {"a provider's read cut short",
         [] { script s; s.items = {nullptr}; s.interrupt_at = "provide"; return s; }(),
         false, 130, {"provider_init", "consumer_init", "provide", "provider_finish",
                      "consumer_finish"}, line, ""},
        {"the end reached, not yet completed",
         [] { script s; s.items = {end_item}; s.interrupt_at = "provide"; return s; }(),
         false, 130, {"provider_init", "consumer_init", "provide", "provider_finish",
                      "consumer_finish"}, line, ""},
        {"the completion stopped",
         [] { script s; s.items = {end_item}; s.consumer_complete_result = 0;
              s.interrupt_at = "consumer_complete"; return s; }(),
         false, 130, {"provider_init", "consumer_init", "provide", "consumer_complete",
                      "provider_finish", "consumer_finish"}, line, ""},
        {"a replay file run",
         [] { script s; s.items = {&item_a}; s.answers = {1}; s.interrupt_at = "consume a";
              return s; }(),
         true, 130, {"provider_init", "consumer_init", "provide", "consume a", "provider_finish",
                     "consumer_finish"}, "", "Interrupted by SIGINT before the replay file was complete\n"},
        {"after the completion",
         [] { script s; s.items = {end_item}; s.interrupt_at = "consumer_complete"; return s; }(),
         false, 0, {"provider_init", "consumer_init", "provide", "consumer_complete",
                    "provider_finish", "consumer_finish"}, "", ""},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.what);
        run_options options;
        options.write_file = row.write_file;
        options.outfile = row.write_file ? "out.qr" : nullptr;
        stream_capture out(stdout);
        stream_capture err(stderr);
        int status = run(row.s, options);
        std::string err_text = err.stop();
        EXPECT_EQ(out.stop(), row.out);
        EXPECT_EQ(err_text, row.err);
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(current.calls, row.expected);
        FILE *expected_stream = row.write_file ? nullptr : stdout;
        EXPECT_EQ(current.streams_at_finish, (std::vector<FILE *>{expected_stream, expected_stream}));
    }
    interrupt_reset();
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
