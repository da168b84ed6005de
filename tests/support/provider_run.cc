#include "support/provider_run.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "parse/log_reader.h"
#include "parse/parse_state.h"
#include "quillrun/parse.h"
#include "quillrun/settings.h"
#include "support/capture.h"

namespace {

const char *type_word(replay_type type) {
    switch (type) {
        case pg_connect: return "connect";
        case pg_disconnect: return "disconnect";
        case pg_execute: return "execute";
        case pg_prepare: return "prepare";
        case pg_exec_prepared: return "exec_prepared";
        case pg_cancel: return "cancel";
    }
    return "?";
}

parsed_item keep(const replay_item *item) {
    parsed_item kept{item->type, item->session_id, item->time, {}, item->recorded_duration,
                     log_line_number()};
    for (unsigned i = 0; i < item->count; ++i) {
        if (item->data[i] == nullptr)
            kept.data.emplace_back(std::nullopt);
        else
            kept.data.emplace_back(item->data[i]);
    }
    return kept;
}

std::string read_all(FILE *file) {
    std::string text;
    rewind(file);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    return text;
}

std::string csv_quote(const std::string &text) {
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c;
        if (c == '"') quoted += '"';
    }
    return quoted + "\"";
}

std::string json_quote(const std::string &text) {
    std::string quoted = "\"";
    for (char c : text) {
        switch (c) {
            case '"': quoted += "\\\""; break;
            case '\\': quoted += "\\\\"; break;
            case '\n': quoted += "\\n"; break;
            case '\t': quoted += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escape[8];
                    snprintf(escape, sizeof escape, "\\u%04x", c);
                    quoted += escape;
                } else {
                    quoted += c;
                }
        }
    }
    return quoted + "\"";
}

// Runs init, the provider to the end and the finish, as the driver would.
template <typename init_operation>
parse_result run(const parse_options &options, init_operation init) {
    reset_parse_state();
    parse_result result;
    stream_capture err(stderr);
    debug_level = options.debug_level;
    bool ok = init() != 0;
    if (ok) {
        // Far more calls than any test log has items: a provider that never
        // ends shows up as a failure instead of a hang.
        for (int calls = 0; calls < 1000000; ++calls) {
            replay_item *item = parse_provider();
            if (item == nullptr) {
                ok = false;
                break;
            }
            if (item == end_item) {
                result.end_repeats = parse_provider() == end_item;
                break;
            }
            result.items.push_back(keep(item));
            replay_free(item);
        }
    }
    result.failed = !ok;
    FILE *statistics = tmpfile();
    FILE *saved_stream = stats_stream;
    stats_stream = ok ? statistics : nullptr;
    parse_provider_finish();
    stats_stream = saved_stream;
    result.statistics = read_all(statistics);
    fclose(statistics);
    result.messages = err.stop();
    debug_level = 0;
    return result;
}

int init_provider(const char *path, const parse_options &options) {
    return parse_provider_init(path, options.csv ? 1 : 0, options.begin_timestamp,
                               options.end_timestamp, options.database_filter,
                               options.username_filter);
}

}  // namespace

std::string parsed_item::text() const {
    char head[96];
    snprintf(head, sizeof head, "%s 0x%lx %ld.%06ld", type_word(type),
             static_cast<unsigned long>(session_id), static_cast<long>(time.tv_sec),
             static_cast<long>(time.tv_usec));
    std::string text = head;
    auto shown = [](const std::optional<std::string> &s) { return s ? *s : "(null)"; };
    switch (type) {
        case pg_connect:
            text += " " + shown(data.at(0)) + "@" + shown(data.at(1));
            break;
        case pg_execute:
            text += " " + shown(data.at(0));
            break;
        case pg_prepare:
            text += " \"" + shown(data.at(1)) + "\": " + shown(data.at(0));
            break;
        case pg_exec_prepared:
            text += " \"" + shown(data.at(0)) + "\"";
            for (size_t i = 1; i < data.size(); ++i)
                text += data[i] ? " '" + *data[i] + "'" : std::string(" NULL");
            break;
        default:
            break;
    }
    return text;
}

std::vector<std::string> parse_result::texts() const {
    std::vector<std::string> all;
    for (const auto &item : items) all.push_back(item.text());
    return all;
}

parse_result parse_log_text(const std::string &log, const parse_options &options) {
    int fd = memfd_create("log", MFD_CLOEXEC);
    if (fd < 0) throw std::runtime_error("memfd_create failed");
    if (write(fd, log.data(), log.size()) != static_cast<ssize_t>(log.size()) ||
        lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        throw std::runtime_error("cannot fill the memory file");
    }
    return run(options, [&] {
        int result = init_provider(nullptr, options);
        parse_unit_state().setup.input_fd = fd;  // closed by the finish
        return result;
    });
}

parse_result parse_log_file(const std::string &path, const parse_options &options) {
    return run(options, [&] { return init_provider(path.c_str(), options); });
}

std::string json_record(const std::string &time, const std::string &user,
                        const std::string &database, const std::string &session_id,
                        const std::string &level, const std::string &message,
                        const std::string &detail) {
    std::string record = "{\"timestamp\":" + json_quote(time);
    if (!user.empty()) record += ",\"user\":" + json_quote(user);
    if (!database.empty()) record += ",\"dbname\":" + json_quote(database);
    record += ",\"pid\":4242,\"remote_host\":\"[local]\",\"session_id\":" + json_quote(session_id) +
              ",\"line_num\":1,\"ps\":\"idle\",\"session_start\":\"2000-01-01 00:00:00 UTC\","
              "\"vxid\":\"3/1\",\"txid\":0,\"error_severity\":" + json_quote(level) +
              ",\"state_code\":\"00000\",\"message\":" + json_quote(message);
    if (!detail.empty()) record += ",\"detail\":" + json_quote(detail);
    return record + ",\"application_name\":\"psql\",\"backend_type\":\"client backend\","
                    "\"query_id\":0}\n";
}

std::string csv_record(const std::string &time, const std::string &user,
                       const std::string &database, const std::string &session_id,
                       const std::string &level, const std::string &message,
                       const std::string &detail) {
    return time + "," + csv_quote(user) + "," + csv_quote(database) + ",4242,\"[local]\"," +
           session_id + ",1,\"idle\",2000-01-01 00:00:00 UTC,3/1,0," + level + ",00000," +
           csv_quote(message) + "," + (detail.empty() ? "" : csv_quote(detail)) +
           ",,,,,,,,,\"psql\",\"client backend\",,0\n";
}
