#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "parse/parse_statistics.h"
#include "quillrun/settings.h"
#include "support/capture.h"

namespace {

// What print_parse_statistics writes for these counters.
std::string printed(const parse_counters &stats, unsigned long lines) {
    FILE *saved = stats_stream;
    stats_stream = tmpfile();
    print_parse_statistics(stats, lines);
    std::string text;
    rewind(stats_stream);
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, stats_stream)) > 0) text.append(buffer, n);
    fclose(stats_stream);
    stats_stream = saved;
    return text;
}

TEST(ParseStatistics, NothingCountedStillPrintsTheWholeBlock) {
    EXPECT_EQ(printed(parse_counters{}, 0),
              "\nParse statistics\n"
              "================\n\n"
              "Log lines read: 0\n"
              "Total SQL statements processed: 0\n"
              "Simple SQL statements processed: 0\n"
              "Parametrized SQL statements processed: 0\n"
              "Named prepared SQL statements executions processed: 0\n"
              "Cancel requests processed: 0\n"
              "Fast-path function calls ignored: 0\n"
              "Duration of recorded workload: 0.000 seconds\n");
}

TEST(ParseStatistics, PrintsOptionalLinesWhenTheirCountsAreSet) {
    parse_counters stats;
    stats.simple_statements = 7;
    stats.copy_statements = 2;
    stats.parametrized_statements = 5;
    stats.named_executions = 10;
    stats.named_statements = 4;
    stats.cancel_requests = 3;
    stats.fastpath_calls = 1;
    record_entry_time(stats, {36000, 900000});  // 10:00:00.900
    record_entry_time(stats, {36030, 0});
    record_entry_time(stats, {39660, 100000});  // 11:01:00.100
    EXPECT_EQ(printed(stats, 1234),
              "\nParse statistics\n"
              "================\n\n"
              "Log lines read: 1234\n"
              "Total SQL statements processed: 22\n"
              "Simple SQL statements processed: 7\n"
              "(includes 2 ignored copy statements)\n"
              "Parametrized SQL statements processed: 5\n"
              "Named prepared SQL statements executions processed: 10\n"
              "Different named prepared SQL statements processed: 4\n"
              "(average reuse count 1.500)\n"
              "Cancel requests processed: 3\n"
              "Fast-path function calls ignored: 1\n"
              "Duration of recorded workload: 1 hours 59.200 seconds\n");
}

// When the log's time runs backwards the duration still spans the earliest
// to the latest entry, never a negative time.
TEST(ParseStatistics, DurationSpansTheEarliestToTheLatestEntry) {
    struct row {
        std::vector<struct timeval> times;
        const char *tail;
    } rows[] = {
        {{{100, 0}, {159, 500000}}, "Duration of recorded workload: 59.500 seconds\n"},
        {{{-5, 999000}, {55, 0}}, "Duration of recorded workload: 59.001 seconds\n"},
        {{{0, 0}, {3600 + 60, 0}}, "Duration of recorded workload: 1 hours 1 minutes 0.000 seconds\n"},
        {{{3700, 0}, {100, 0}}, "Duration of recorded workload: 1 hours 0.000 seconds\n"},
        {{{100, 0}, {200, 0}, {50, 500000}, {150, 0}},
         "Duration of recorded workload: 2 minutes 29.500 seconds\n"},
    };
    for (const auto &row : rows) {
        parse_counters stats;
        for (const struct timeval &time : row.times) record_entry_time(stats, time);
        std::string text = printed(stats, 0);
        EXPECT_EQ(text.substr(text.rfind("Duration")), row.tail);
    }
}

TEST(ParseStatistics, PrintsNothingWithoutAStream) {
    FILE *saved = stats_stream;
    stats_stream = nullptr;
    stream_capture out(stdout);
    stream_capture err(stderr);
    print_parse_statistics(parse_counters{}, 3);
    stats_stream = saved;
    EXPECT_EQ(out.stop(), "");
    EXPECT_EQ(err.stop(), "");
}

}  // namespace
