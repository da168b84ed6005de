// A throwaway PostgreSQL server in a temporary directory, listening on a Unix
// socket only, stopped and removed on destruction.
#pragma once

#include <string>
#include <vector>

class pg_server {
public:
    // record: log what quillrun reads, to log_path(), csv_log_path() and
    // json_log_path().
    // settings: extra postgresql.conf lines such as "max_connections = 1200".
    explicit pg_server(bool record = false, const std::vector<std::string> &settings = {});
    ~pg_server();
    pg_server(const pg_server &) = delete;
    pg_server &operator=(const pg_server &) = delete;

    const std::string &socket_dir() const { return dir_; }
    int port() const { return 5432; }
    std::string log_path() const { return dir_ + "/log/postgresql"; }
    std::string csv_log_path() const { return dir_ + "/log/postgresql.csv"; }
    std::string json_log_path() const { return dir_ + "/log/postgresql.json"; }

    // Runs SQL through psql as the postgres user and returns its unaligned,
    // tuples-only output; throws when psql fails.
    std::string psql(const std::string &sql, const std::string &database = "postgres") const;
    // Runs a shell command with PGHOST, PGPORT and PGUSER set for this server;
    // returns its exit status and output (standard output and error).
    int shell(const std::string &command, std::string *output = nullptr) const;

    // How long this machine takes to set up one connection to the server,
    // in milliseconds (the mean of a few, one after the other).  Process
    // creation is slow on some machines, and the server forks a process
    // per connection one at a time: this is also about the shortest gap at
    // which it can take new connections for long.
    double connect_milliseconds() const;

    // Waits until the server has written everything it logged so far
    // (logging goes through a collector process).
    void flush_log() const;
    void stop();

private:
    std::string dir_;
    bool running_ = false;
};

// Quotes a text for a POSIX shell.
std::string shell_quote(const std::string &text);
