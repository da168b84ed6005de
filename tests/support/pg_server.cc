#include "support/pg_server.h"

#include <libpq-fe.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

const std::string server_script = std::string(QUILLRUN_SOURCE_DIR) + "/scripts/pgserver.sh";

int run_capturing(const std::string &command, std::string *output) {
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        if (output != nullptr) output->append(buffer, n);
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string shell_quote(const std::string &text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

pg_server::pg_server(bool record, const std::vector<std::string> &settings) {
    char pattern[] = "/tmp/quillrun-pg.XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    std::string command = server_script + " start " + shell_quote(dir_);
    if (record) command += " --record";
    for (const auto &setting : settings) command += " " + shell_quote(setting);
    std::string output;
    if (run_capturing(command, &output) != 0) {
        run_capturing("rm -rf " + shell_quote(dir_), nullptr);
        throw std::runtime_error("cannot start PostgreSQL: " + output);
    }
    running_ = true;
}

pg_server::~pg_server() {
    stop();
    run_capturing("rm -rf " + shell_quote(dir_), nullptr);
}

void pg_server::stop() {
    if (!running_) return;
    run_capturing(server_script + " stop " + shell_quote(dir_), nullptr);
    running_ = false;
}

int pg_server::shell(const std::string &command, std::string *output) const {
    std::string env = "PGHOST=" + shell_quote(dir_) + " PGPORT=5432 PGUSER=postgres ";
    return run_capturing(env + "sh -c " + shell_quote(command), output);
}

std::string pg_server::psql(const std::string &sql, const std::string &database) const {
    std::string output;
    int status = shell("psql -X -q -At -v ON_ERROR_STOP=1 -d " + shell_quote(database) +
                           " -c " + shell_quote(sql),
                       &output);
    if (status != 0) throw std::runtime_error("psql failed: " + output);
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return output;
}

void pg_server::flush_log() const {
    // The collector writes asynchronously; wait until the logs stop growing.
    long last = -1;
    for (int i = 0; i < 100; ++i) {
        long size = 0;
        for (const std::string &path : {log_path(), csv_log_path(), json_log_path()}) {
            FILE *file = fopen(path.c_str(), "r");
            if (file == nullptr) continue;
            fseek(file, 0, SEEK_END);
            size += ftell(file);
            fclose(file);
        }
        if (size == last && size > 0) return;
        last = size;
        usleep(100000);
    }
}

double pg_server::connect_milliseconds() const {
    const std::string conninfo = "host=" + dir_ + " port=5432 user=postgres dbname=postgres";
    const int tries = 10;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < tries; ++i) {
        PGconn *connection = PQconnectdb(conninfo.c_str());
        bool ok = PQstatus(connection) == CONNECTION_OK;
        PQfinish(connection);
        if (!ok) throw std::runtime_error("cannot connect to the test server");
    }
    std::chrono::duration<double, std::milli> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / tries;
}
