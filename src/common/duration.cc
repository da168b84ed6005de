#include <cstdio>

#include "quillrun/pipeline.h"
#include "quillrun/settings.h"

void print_duration(long long seconds, long long microseconds) {
    if (stats_stream == nullptr) return;
    int hours = static_cast<int>(seconds / 3600);
    long long rest = seconds - 3600LL * hours;
    int minutes = static_cast<int>(rest / 60);
    if (hours > 0) fprintf(stats_stream, " %d hours", hours);
    if (minutes > 0) fprintf(stats_stream, " %d minutes", minutes);
    fprintf(stats_stream, " %.3f seconds\n",
            static_cast<double>(rest - 60LL * minutes) + static_cast<double>(microseconds) / 1000000.0);
}
