#include "replay_harness.h"

#include <chrono>
#include <cmath>
#include <regex>

#include "main/driver.h"
#include "quillrun/database.h"
#include "quillrun/settings.h"
#include "support/capture.h"

namespace {

struct feed {
    std::vector<replay_item *> items;
    size_t next = 0;
    std::function<void(size_t)> before_item;
    unsigned long consumer_calls = 0;
} current;

replay_item *feed_provider() {
    if (current.next == current.items.size()) return end_item;
    if (current.before_item) current.before_item(current.next);
    return current.items[current.next++];
}
int feed_init(const char *, int, const char *, const char *, const char *, const char *) {
    return 1;
}
void feed_finish() {}

int counting_consumer(replay_item *item) {
    ++current.consumer_calls;
    return database_consumer(item);
}

timeval at(double t) {
    // An arbitrary recorded moment: only differences matter.
    long long micro = std::llround(t * 1e6);
    return {static_cast<time_t>(800000000 + micro / 1000000),
            static_cast<suseconds_t>(micro % 1000000)};
}

}  // namespace

script::~script() {
    for (replay_item *item : items_) replay_free(item);
}

script &script::connect(double t, uint64_t session, const std::string &user,
                        const std::string &database) {
    timeval time = at(t);
    items_.push_back(replay_create_connect(&time, session, user.c_str(), database.c_str()));
    return *this;
}

script &script::disconnect(double t, uint64_t session) {
    timeval time = at(t);
    items_.push_back(replay_create_disconnect(&time, session));
    return *this;
}

script &script::execute(double t, uint64_t session, const std::string &statement) {
    timeval time = at(t);
    items_.push_back(replay_create_execute(&time, session, statement.c_str()));
    return *this;
}

script &script::prepare(double t, uint64_t session, const std::string &name,
                        const std::string &statement) {
    timeval time = at(t);
    items_.push_back(replay_create_prepare(&time, session, name.c_str(), statement.c_str()));
    return *this;
}

script &script::exec_prepared(double t, uint64_t session, const std::string &name,
                              const std::vector<const char *> &values) {
    timeval time = at(t);
    items_.push_back(replay_create_exec_prepared(&time, session, name.c_str(),
                                                 static_cast<uint16_t>(values.size()),
                                                 values.data()));
    return *this;
}

script &script::cancel(double t, uint64_t session) {
    timeval time = at(t);
    items_.push_back(replay_create_cancel(&time, session));
    return *this;
}

std::vector<replay_item *> script::release() { return std::move(items_); }

script &lock_inversion(script &s, const std::string &user) {
    return s.connect(0, 0x81, user)
        .connect(0, 0x82, user)
        .execute(0.1, 0x82, "begin")
        .execute(0.1, 0x82, "update contended set v = v + 1 where id = 1")
        .execute(0.2, 0x81, "update contended set v = v * 10 where id = 1")
        .execute(0.3, 0x81, "insert into contended values (2, 2)")
        .execute(0.4, 0x82, "update contended set v = v + 2 where id = 1")
        .execute(0.5, 0x82, "commit")
        .disconnect(0.6, 0x81)
        .disconnect(0.6, 0x82);
}

replay_run replay(const pg_server &srv, script &items, const replay_options &options) {
    current = feed{};
    current.items = items.release();
    current.before_item = options.before_item;

    run_options run;
    run.host = srv.socket_dir().c_str();
    run.port = srv.port();
    run.password = options.password;
    run.factor = options.factor;
    run.report_file = options.report;
    const pipeline_operations operations = {feed_provider,          feed_init,
                                            feed_finish,            counting_consumer,
                                            database_consumer_init, database_consumer_finish,
                                            database_consumer_complete};
    int saved_skip = skip_idle;
    const char *saved_extra = extra_connstr;
    skip_idle = options.skip_idle ? 1 : 0;
    extra_connstr = options.extra;

    replay_run result;
    {
        debug_level_scope debug(options.debug);
        stream_capture out(stdout);
        stream_capture err(stderr);
        auto started = std::chrono::steady_clock::now();
        finish_failed = 0;  // each run in this process starts afresh
        result.status = run_pipeline(operations, run);
        result.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        result.err = err.stop();
        result.out = out.stop();
    }
    skip_idle = saved_skip;
    extra_connstr = saved_extra;
    result.consumer_calls = current.consumer_calls;
    // Items never handed out are still ours; the consumer released the rest.
    for (size_t i = current.next; i < current.items.size(); ++i) replay_free(current.items[i]);
    current = feed{};
    return result;
}

bool matches_report(const std::string &pattern, const std::string &text) {
    std::string expression;
    for (char c : pattern) {
        if (c == '#') {
            expression += "-?[0-9]+(\\.[0-9]+)?";
        } else if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) {
            expression += '\\';
            expression += c;
        } else {
            expression += c;
        }
    }
    return std::regex_match(text, std::regex(expression));
}
