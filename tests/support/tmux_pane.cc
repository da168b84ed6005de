#include "support/tmux_pane.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "support/pg_server.h"

namespace {

std::string run_capturing(const std::string &command, int *status) {
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
    std::string output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    *status = pclose(pipe);
    return output;
}

}  // namespace

bool tmux_pane::available() {
    int status;
    run_capturing("tmux -V >/dev/null 2>&1", &status);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

tmux_pane::tmux_pane(int columns, int rows) {
    char pattern[] = "/tmp/quillrun-tmux.XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    // No configuration file: the pane is what tmux gives by default.
    tmux("-f /dev/null new-session -d -s test -x " + std::to_string(columns) + " -y " +
         std::to_string(rows) + " sh");
}

tmux_pane::~tmux_pane() {
    int status;
    run_capturing("tmux -S " + shell_quote(dir_ + "/socket") + " kill-server 2>/dev/null; rm -rf " +
                      shell_quote(dir_),
                  &status);
}

std::string tmux_pane::tmux(const std::string &arguments) const {
    int status;
    std::string output =
        run_capturing("tmux -S " + shell_quote(dir_ + "/socket") + " " + arguments + " 2>&1", &status);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("tmux " + arguments + " failed: " + output);
    return output;
}

void tmux_pane::type(const std::string &text) {
    tmux("send-keys -t test -l " + shell_quote(text));
    tmux("send-keys -t test Enter");
}

std::vector<std::string> tmux_pane::screen() const {
    std::istringstream text(tmux("capture-pane -p -t test"));
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(text, line)) {
        line.erase(line.find_last_not_of(' ') + 1);
        lines.push_back(line);
    }
    return lines;
}
