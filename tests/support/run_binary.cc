#include "support/run_binary.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

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

}  // namespace

run_result run_quillrun(const run_request &request) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    signal(SIGPIPE, SIG_IGN);
    pid_t pid = fork();
    if (pid == 0) exec_child(request, in_pipe[0], out_pipe[1], err_pipe[1]);
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);

    run_result result;
    size_t written = 0;
    int in_fd = in_pipe[1];
    if (request.input.empty()) {
        close(in_fd);
        in_fd = -1;
    } else {
        fcntl(in_fd, F_SETFL, O_NONBLOCK);
    }
    bool out_open = true, err_open = true;
    double deadline = monotonic_seconds() + request.timeout_seconds;
    while (out_open || err_open) {
        struct pollfd fds[3] = {{out_open ? out_pipe[0] : -1, POLLIN, 0},
                                {err_open ? err_pipe[0] : -1, POLLIN, 0},
                                {in_fd, POLLOUT, 0}};
        double left = deadline - monotonic_seconds();
        if (left <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        int ready = poll(fds, 3, static_cast<int>(left * 1000) + 1);
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
        if (in_fd >= 0 && fds[2].revents != 0) {
            ssize_t n = write(in_fd, request.input.data() + written, request.input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (n < 0 || written == request.input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
    }
    if (in_fd >= 0) close(in_fd);
    close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

run_result run_quillrun(const std::vector<std::string> &args, const std::string &input) {
    run_request request;
    request.args = args;
    request.input = input;
    return run_quillrun(request);
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
