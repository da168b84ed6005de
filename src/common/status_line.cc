#include "quillrun/status_line.h"

#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "quillrun/settings.h"

status_line_flags status_line_state;

namespace {

// Room for the text of the widest line drawn; a wider terminal gets a line
// of this length.
constexpr size_t max_text = 400;
constexpr char erase_to_end[] = "\x1b[K";

struct status_line {
    status_line_source source = nullptr;
    double next_due = 0;
    // What stands on the screen while the line is visible.
    char shown[max_text + 1] = "";
};

status_line line;

bool terminal_can_erase() {
    const char *term = getenv("TERM");
    return term != nullptr && term[0] != '\0' && strcmp(term, "dumb") != 0;
}

// Columns of the terminal, read at every drawing so that a resized window
// is followed; 80 when the terminal does not say.
size_t terminal_width() {
    struct winsize size;
    if (ioctl(2, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
    return size.ws_col;
}

// The line is decoration: a terminal that refuses it (hung up, gone) turns
// it off rather than failing the run.
void write_all(const char *bytes, size_t count) {
    while (count > 0) {
        ssize_t written = write(2, bytes, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            status_line_state = status_line_flags{};
            return;
        }
        bytes += written;
        count -= static_cast<size_t>(written);
    }
}

}  // namespace

// The coarse clock costs a few nanoseconds and no system call; its
// resolution (a few milliseconds) is far finer than the line's period.
double status_line_clock() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

bool status_line_start(status_line_source source) {
    status_line_state = status_line_flags{};
    line = status_line{};
    if (source == nullptr || debug_level > 0 || !isatty(2) || !terminal_can_erase()) return false;
    line.source = source;
    line.next_due = status_line_clock() + status_line_period_microseconds / 1e6;
    status_line_state.active = true;
    return true;
}

void status_line_stop() {
    status_line_clear();
    status_line_state.active = false;
}

void status_line_erase() {
    if (!status_line_state.visible) return;
    status_line_state.visible = false;
    line.shown[0] = '\0';
    // Callers clear right before reporting a failed call with perror.
    int saved_errno = errno;
    static constexpr char clear[] = "\r\x1b[K";
    write_all(clear, sizeof clear - 1);
    errno = saved_errno;
}

void status_line_draw() {
    if (!status_line_state.active) return;
    double now = status_line_clock();
    line.next_due = now + status_line_period_microseconds / 1e6;
    char text[max_text + 1];
    text[0] = '\0';
    line.source(text, sizeof text, now);
    // One column stays free: a line that fills the last one makes some
    // terminals wrap.
    size_t width = terminal_width();
    size_t length = strnlen(text, max_text);
    if (length >= width) length = width > 1 ? width - 1 : 0;
    text[length] = '\0';
    if (length == 0) {
        status_line_erase();
        return;
    }
    if (status_line_state.visible && strcmp(text, line.shown) == 0) return;
    char output[max_text + sizeof erase_to_end + 1];
    output[0] = '\r';
    memcpy(output + 1, text, length);
    memcpy(output + 1 + length, erase_to_end, sizeof erase_to_end - 1);
    memcpy(line.shown, text, length + 1);
    status_line_state.visible = true;
    write_all(output, 1 + length + sizeof erase_to_end - 1);
}

void status_line_tick_due() {
    if (status_line_clock() >= line.next_due) status_line_draw();
}
