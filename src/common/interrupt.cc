#include "quillrun/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <initializer_list>

namespace {

// Written by the handler and read by the program between calls; only
// volatile sig_atomic_t objects and pointers set before being published are
// shared with the handler.
struct interrupt_state {
    volatile sig_atomic_t signal_number = 0;
    const char *volatile removal_path = nullptr;
    volatile sig_atomic_t removal_armed = 0;
};

interrupt_state state;

void on_signal(int number) {
    if (state.signal_number == 0) {
        state.signal_number = number;
        return;
    }
    int saved_errno = errno;
    if (state.removal_armed) unlink(state.removal_path);
    // Dying by the signal tells a calling shell what happened.  The signal is
    // blocked while its handler runs, so it is delivered, with the default
    // action, as soon as the handler returns.
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(number, &default_action, nullptr);
    raise(number);
    errno = saved_errno;
}

}  // namespace

bool interrupt_install() {
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // Both signals are blocked while either handler runs, so the handler
    // never interrupts itself.
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    action.sa_flags = 0;  // no SA_RESTART: waits must see EINTR
    for (int number : {SIGINT, SIGTERM}) {
        struct sigaction previous;
        if (sigaction(number, nullptr, &previous) != 0) {
            perror("Error installing signal handlers");
            return false;
        }
        // A shell starts background commands with SIGINT ignored, so that
        // the terminal's interrupt reaches only the foreground; keep that.
        if (previous.sa_handler == SIG_IGN) continue;
        if (sigaction(number, &action, nullptr) != 0) {
            perror("Error installing signal handlers");
            return false;
        }
    }
    return true;
}

bool interrupt_requested() { return state.signal_number != 0; }

int interrupt_signal() { return state.signal_number; }

const char *interrupt_signal_name() {
    switch (state.signal_number) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        default: return "";
    }
}

void interrupt_remove_on_exit(const char *path) {
    // Disarmed while the name changes, so the handler never sees a name
    // half replaced.
    state.removal_armed = 0;
    state.removal_path = path;
    state.removal_armed = path != nullptr ? 1 : 0;
}

void interrupt_reset() { state.signal_number = 0; }
