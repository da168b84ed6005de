#include "parse_statistics.h"

#include <cstdio>

#include "quillrun/pipeline.h"
#include "quillrun/settings.h"

void record_entry_time(parse_counters &stats, const struct timeval &time) {
    if (!stats.have_first_time) {
        stats.first_time = stats.last_time = time;
        stats.have_first_time = true;
    } else if (timercmp(&time, &stats.last_time, >)) {
        stats.last_time = time;
    } else if (timercmp(&time, &stats.first_time, <)) {
        stats.first_time = time;
    }
}

void print_parse_statistics(const parse_counters &stats, unsigned long log_lines) {
    FILE *out = stats_stream;
    if (out == nullptr) return;
    auto number = [](uint64_t value) { return static_cast<unsigned long>(value); };

    fprintf(out, "\nParse statistics\n");
    fprintf(out, "================\n\n");
    fprintf(out, "Log lines read: %lu\n", log_lines);
    fprintf(out, "Total SQL statements processed: %lu\n",
            number(stats.simple_statements + stats.parametrized_statements +
                   stats.named_executions));
    fprintf(out, "Simple SQL statements processed: %lu\n", number(stats.simple_statements));
    if (stats.copy_statements != 0)
        fprintf(out, "(includes %lu ignored copy statements)\n", number(stats.copy_statements));
    fprintf(out, "Parametrized SQL statements processed: %lu\n",
            number(stats.parametrized_statements));
    fprintf(out, "Named prepared SQL statements executions processed: %lu\n",
            number(stats.named_executions));
    if (stats.named_statements != 0) {
        fprintf(out, "Different named prepared SQL statements processed: %lu\n",
                number(stats.named_statements));
        // Unsigned on purpose: executions never fall below the names they added.
        fprintf(out, "(average reuse count %.3f)\n",
                static_cast<double>(stats.named_executions - stats.named_statements) /
                    static_cast<double>(stats.named_statements));
    }
    fprintf(out, "Cancel requests processed: %lu\n", number(stats.cancel_requests));
    fprintf(out, "Fast-path function calls ignored: %lu\n", number(stats.fastpath_calls));
    fprintf(out, "Duration of recorded workload:");

    long long seconds = static_cast<long long>(stats.last_time.tv_sec) - stats.first_time.tv_sec;
    long long microseconds =
        static_cast<long long>(stats.last_time.tv_usec) - stats.first_time.tv_usec;
    if (microseconds < 0) {
        seconds -= 1;
        microseconds += 1000000;
    }
    print_duration(seconds, microseconds);
}
