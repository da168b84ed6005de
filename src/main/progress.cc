#include "progress.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "quillrun/database.h"
#include "quillrun/parse.h"
#include "quillrun/replayfile.h"
#include "quillrun/status_line.h"

namespace {

// Appends to a text of a given size, cutting what does not fit.
class text_builder {
public:
    text_builder(char *text, size_t size) : text_(text), size_(size) {
        if (size_ > 0) text_[0] = '\0';
    }
    void add(const char *format, ...) __attribute__((format(printf, 2, 3))) {
        if (used_ + 1 >= size_) return;
        va_list args;
        va_start(args, format);
        int written = vsnprintf(text_ + used_, size_ - used_, format, args);
        va_end(args);
        if (written > 0) used_ = std::min(size_ - 1, used_ + static_cast<size_t>(written));
    }

private:
    char *text_;
    size_t size_;
    size_t used_ = 0;
};

// 12,345,678
void add_count(text_builder &out, uint64_t count) {
    char digits[32];
    int length = snprintf(digits, sizeof digits, "%" PRIu64, count);
    char grouped[48];
    int at = 0;
    for (int i = 0; i < length; ++i) {
        if (i > 0 && (length - i) % 3 == 0) grouped[at++] = ',';
        grouped[at++] = digits[i];
    }
    grouped[at] = '\0';
    out.add("%s", grouped);
}

// 512 B, 1.5 KiB, 85.3 MiB, 1.2 GiB
void add_bytes(text_builder &out, double bytes) {
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024) {
        out.add("%.0f B", bytes);
        return;
    }
    int unit = 0;
    bytes /= 1024;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    out.add("%.1f %s", bytes, units[unit]);
}

// 45s, 2m05s, 1h02m03s
void add_span(text_builder &out, int64_t seconds) {
    if (seconds < 0) seconds = 0;
    if (seconds < 60)
        out.add("%" PRId64 "s", seconds);
    else if (seconds < 3600)
        out.add("%" PRId64 "m%02" PRId64 "s", seconds / 60, seconds % 60);
    else
        out.add("%" PRId64 "h%02" PRId64 "m%02" PRId64 "s", seconds / 3600, seconds / 60 % 60,
                seconds % 60);
}

double percent_of(const input_progress &input) {
    if (input.size <= 0) return 100;
    double share = 100.0 * static_cast<double>(input.bytes_consumed) / static_cast<double>(input.size);
    return share < 100 ? share : 100;
}

void add_rate(text_builder &out, double per_second) {
    out.add(per_second < 100 ? "%.1f" : "%.0f", per_second);
}

}  // namespace

void format_input_line(const input_line &line, char *text, size_t size) {
    text_builder out(text, size);
    const input_progress &input = line.input;
    out.add("%s ", line.label);
    add_bytes(out, static_cast<double>(input.bytes_consumed));
    if (input.size >= 0) {
        out.add(" of ");
        add_bytes(out, static_cast<double>(input.size));
        out.add(" (%.1f%%)", percent_of(input));
        uint64_t size_left = input.bytes_consumed < static_cast<uint64_t>(input.size)
                                 ? static_cast<uint64_t>(input.size) - input.bytes_consumed
                                 : 0;
        // From the pace so far: a while into the run it holds steady, where
        // the pace of the last seconds follows every burst of the log.
        if (size_left > 0 && input.bytes_consumed > 0 && line.elapsed_seconds >= 1) {
            double seconds = static_cast<double>(size_left) * line.elapsed_seconds /
                             static_cast<double>(input.bytes_consumed);
            out.add(", ");
            add_span(out, static_cast<int64_t>(seconds + 0.5));
            out.add(" left");
        }
    }
    if (input.counts_lines) {
        out.add(", ");
        add_count(out, input.lines);
        out.add(" lines");
    }
    if (input.counts_statements) {
        out.add(", ");
        add_count(out, input.statements);
        out.add(" statements");
    }
    if (line.bytes_per_second >= 0) {
        out.add(", ");
        add_bytes(out, line.bytes_per_second);
        out.add("/s");
    }
}

void format_replay_line(const replay_line &line, char *text, size_t size) {
    text_builder out(text, size);
    out.add("Replaying ");
    add_span(out, line.replay.recorded_microseconds / 1000000);
    out.add(" of the recording, input ");
    if (line.input.size >= 0) {
        out.add("%.1f%%", percent_of(line.input));
    } else {
        add_bytes(out, static_cast<double>(line.input.bytes_consumed));
    }
    out.add(", lag ");
    add_span(out, line.replay.lag_seconds);
    if (line.statements_per_second >= 0) {
        out.add(", ");
        add_rate(out, line.statements_per_second);
        out.add(" statements/s");
    }
    out.add(", ");
    add_count(out, line.replay.open_sessions);
    out.add(line.replay.open_sessions == 1 ? " session" : " sessions");
    out.add(", ");
    add_count(out, line.replay.errors);
    out.add(line.replay.errors == 1 ? " error" : " errors");
}

namespace {

// A pace over the last few seconds: the change of a count between the
// oldest drawing kept and now.
class rate_meter {
public:
    void reset(double now) {
        count_ = 0;
        next_ = 0;
        add(now, 0);
    }
    // Adds a sample and returns the pace, or -1 while the samples span too
    // short a time.
    double add(double now, double value) {
        times_[next_] = now;
        values_[next_] = value;
        next_ = (next_ + 1) % samples;
        if (count_ < samples) ++count_;
        int oldest = count_ < samples ? 0 : next_;
        double span = now - times_[oldest];
        if (span < 0.5) return -1;
        return (value - values_[oldest]) / span;
    }

private:
    // Five seconds of drawings at the line's pace.
    static constexpr int samples = 20;
    double times_[samples] = {};
    double values_[samples] = {};
    int count_ = 0;
    int next_ = 0;
};

enum class progress_kind { parse, read, replay };

struct progress_state {
    progress_kind kind = progress_kind::parse;
    void (*read_input)(input_progress *) = nullptr;
    double started = 0;
    rate_meter pace;
};

progress_state progress;

void draw_progress(char *text, size_t size, double now) {
    input_progress input;
    progress.read_input(&input);
    if (progress.kind == progress_kind::replay) {
        replay_line line;
        line.input = input;
        database_progress(&line.replay);
        line.statements_per_second =
            progress.pace.add(now, static_cast<double>(line.replay.statements));
        format_replay_line(line, text, size);
        return;
    }
    input_line line;
    line.label = progress.kind == progress_kind::parse ? "Parsing" : "Reading";
    if (!input.counts_statements) {
        // A replay file counts nothing: the dry run counts what it is handed.
        replay_progress replay;
        database_progress(&replay);
        input.counts_statements = true;
        input.statements = replay.statements;
    }
    line.input = input;
    line.elapsed_seconds = now - progress.started;
    line.bytes_per_second = progress.pace.add(now, static_cast<double>(input.bytes_consumed));
    format_input_line(line, text, size);
}

}  // namespace

void progress_start(const run_options &options) {
    progress = progress_state{};
    progress.read_input = options.read_file ? file_provider_progress : parse_progress;
    if (!options.write_file && !options.dry_run)
        progress.kind = progress_kind::replay;
    else
        progress.kind = options.read_file ? progress_kind::read : progress_kind::parse;
    progress.started = status_line_clock();
    progress.pace.reset(progress.started);
    status_line_start(draw_progress);
}

void progress_stop() { status_line_stop(); }
