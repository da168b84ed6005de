#include "support/run_binary.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

double monotonic_seconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

[[noreturn]] void exec_child(const run_request &request, int in_fd, int out_fd, int err_fd) {
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    // Ignored and blocked signals stay so across exec; the program must
    // start with the defaults a shell gives it, whatever this process does.
    for (int number : {SIGPIPE, SIGINT, SIGTERM}) signal(number, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const auto &[name, value] : request.env) setenv(name.c_str(), value.c_str(), 1);
    if (!request.working_directory.empty() && chdir(request.working_directory.c_str()) != 0)
        _exit(126);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(request.program));
    for (const auto &arg : request.args) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    execv(request.program, argv.data());
    _exit(127);
}

// Feeds standard input, whole or in timed pieces, and closes it when done
// (or when asked).
class input_feeder {
public:
    input_feeder(const run_request &request, int fd, double now)
        : request_(request), fd_(fd), next_piece_(now) {
        if (request.input.empty() && !request.hold_input_open) close_input();
        if (fd_ >= 0) fcntl(fd_, F_SETFL, O_NONBLOCK);
    }
    ~input_feeder() { close_input(); }

    // The descriptor to test for room now; -1 while none is wanted.
    int wanted_fd(double now) const {
        return fd_ >= 0 && written_ < request_.input.size() && now >= next_piece_ ? fd_ : -1;
    }
    // When the next piece is due; a large value when none is.
    double next_due() const {
        return fd_ >= 0 && written_ < request_.input.size() && request_.input_interval > 0
                   ? next_piece_
                   : 1e300;
    }
    void write_some(double now) {
        size_t left = request_.input.size() - written_;
        if (request_.input_interval > 0) left = std::min(left, piece_left());
        ssize_t n = write(fd_, request_.input.data() + written_, left);
        if (n > 0) written_ += static_cast<size_t>(n);
        if (request_.input_interval > 0 && piece_left() == piece_size())
            next_piece_ = now + request_.input_interval;
        if (n < 0 && errno != EAGAIN) written_ = request_.input.size();
        if (written_ == request_.input.size() && !request_.hold_input_open) close_input();
    }
    void close_input() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    // Bytes still to write of the current piece.
    size_t piece_size() const { return std::max<size_t>(request_.input_piece, 1); }
    size_t piece_left() const { return piece_size() - written_ % piece_size(); }

    const run_request &request_;
    int fd_;
    size_t written_ = 0;
    double next_piece_;
};

// Runs the request's actions in order as their time comes.
class action_runner {
public:
    action_runner(const std::vector<run_action> &actions, double now)
        : actions_(actions), since_(now) {}

    // Runs every action that is due; the time the next one is due, or a
    // large value when it waits for output or none is left.
    double run_due(pid_t pid, const run_result &seen, input_feeder &input, double now) {
        while (next_ < actions_.size()) {
            const run_action &action = actions_[next_];
            if (!text_seen_) {
                const std::string &text = action.after_output;
                if (!text.empty() && seen.out.find(text) == std::string::npos &&
                    seen.err.find(text) == std::string::npos)
                    return 1e300;
                text_seen_ = true;
                since_ = now;
            }
            double due = since_ + action.delay_seconds;
            if (now < due) return due;
            if (action.signal != 0) kill(pid, action.signal);
            if (action.close_input) input.close_input();
            if (action.call) action.call(pid);
            ++next_;
            text_seen_ = false;
            since_ = now;
        }
        return 1e300;
    }

private:
    const std::vector<run_action> &actions_;
    size_t next_ = 0;
    bool text_seen_ = false;
    double since_;
};

// A pseudo-terminal in raw mode: ends[0] the side read back, ends[1] the
// terminal the program writes to.
bool open_terminal(unsigned short columns, int ends[2]) {
    struct termios raw;
    cfmakeraw(&raw);
    struct winsize size = {};
    size.ws_col = columns;
    size.ws_row = 24;
    if (openpty(&ends[0], &ends[1], nullptr, &raw, &size) != 0) return false;
    fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    return true;
}

}  // namespace

run_result run_quillrun(const run_request &request) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) ||
        (request.error_terminal_columns != 0 ? !open_terminal(request.error_terminal_columns, err_pipe)
                                             : pipe2(err_pipe, O_CLOEXEC) != 0))
        throw std::runtime_error("pipe failed");
    int out_fd = out_pipe[1];
    if (!request.output_file.empty()) {
        out_fd = open(request.output_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (out_fd < 0) throw std::runtime_error("cannot open " + request.output_file);
    }
    int in_fd = in_pipe[0];
    if (!request.input_file.empty()) {
        in_fd = open(request.input_file.c_str(), O_RDONLY | O_CLOEXEC);
        if (in_fd < 0) throw std::runtime_error("cannot open " + request.input_file);
    }
    signal(SIGPIPE, SIG_IGN);
    if (request.output_closed) close(out_pipe[0]);
    pid_t pid = fork();
    if (pid == 0) exec_child(request, in_fd, out_fd, err_pipe[1]);
    close(in_pipe[0]);
    if (in_fd != in_pipe[0]) close(in_fd);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (out_fd != out_pipe[1]) close(out_fd);
    if (request.output_closed || !request.output_file.empty()) {
        if (!request.output_closed) close(out_pipe[0]);
        out_pipe[0] = -1;
    }

    run_result result;
    double started = monotonic_seconds();
    input_feeder input(request, in_pipe[1], started);
    action_runner actions(request.actions, started);
    bool out_open = out_pipe[0] >= 0, err_open = true;
    double deadline = started + request.timeout_seconds;
    while (out_open || err_open) {
        double now = monotonic_seconds();
        if (now >= deadline) {
            kill(pid, SIGKILL);
            break;
        }
        double wake = std::min({deadline, input.next_due(),
                                actions.run_due(pid, result, input, now)});
        struct pollfd fds[3] = {{out_open ? out_pipe[0] : -1, POLLIN, 0},
                                {err_open ? err_pipe[0] : -1, POLLIN, 0},
                                {input.wanted_fd(now), POLLOUT, 0}};
        int ready = poll(fds, 3, static_cast<int>(std::max(0.0, wake - now) * 1000) + 1);
        if (ready < 0 && errno != EINTR) break;
        char buffer[65536];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                (i == 0 ? out_open : err_open) = false;
            } else {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
            }
        }
        if (fds[2].fd >= 0 && fds[2].revents != 0) input.write_some(monotonic_seconds());
    }
    input.close_input();
    if (out_pipe[0] >= 0) close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

void send_two_signals(int pid, int first, int second) {
    kill(pid, SIGSTOP);
    // Stopped once its state says so; signals sent now stay pending.
    std::string status_file = "/proc/" + std::to_string(pid) + "/stat";
    for (int i = 0; i < 1000; ++i) {
        std::string stat = read_file(status_file);
        size_t paren = stat.rfind(')');
        if (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'T') break;
        usleep(1000);
    }
    kill(pid, first);
    kill(pid, second);
    kill(pid, SIGCONT);
}

run_result run_quillrun(const std::vector<std::string> &args, const std::string &input) {
    run_request request;
    request.args = args;
    request.input = input;
    return run_quillrun(request);
}

void feed_slowly(run_request &request, const std::string &input, size_t piece, double interval) {
    request.input = input;
    request.input_piece = piece;
    request.input_interval = interval;
    request.hold_input_open = true;
}

std::string session_log(int count) {
    std::string log =
        "2026-01-01 10:00:00.000 UTC|alice|shop|1.a|LOG:  connection authorized: user=alice "
        "database=shop\n";
    for (int i = 0; i < count; ++i)
        log += "2026-01-01 10:00:01.000 UTC|alice|shop|1.a|LOG:  statement: SELECT " +
               std::to_string(1000 + i) + "\n";
    return log;
}

run_result run_compare(const std::vector<std::string> &args) {
    run_request request;
    request.args = args;
    request.program = QUILLRUN_COMPARE_BINARY;
    return run_quillrun(request);
}

temp_dir::temp_dir() {
    char pattern[] = "/tmp/quillrun-test.XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::string command = "rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0) {
        // Nothing sensible to do in a destructor; the directory is under /tmp.
    }
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream file(path, std::ios::binary);
    file << content;
    if (!file) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + path);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

std::vector<std::string> list_directory(const std::string &path) {
    std::vector<std::string> names;
    DIR *directory = opendir(path.c_str());
    if (directory == nullptr) throw std::runtime_error("cannot list " + path);
    while (const struct dirent *entry = readdir(directory)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(directory);
    std::sort(names.begin(), names.end());
    return names;
}

unsigned long number_after(const std::string &text, const std::string &label) {
    size_t at = text.find(label);
    if (at == std::string::npos) return ~0UL;
    return std::stoul(text.substr(at + label.size()));
}
