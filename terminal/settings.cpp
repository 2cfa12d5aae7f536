#include "settings.h"

#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <initializer_list>

namespace {

// While standard input holds changed settings, the settings that were found
// and the changed ones are kept here for the signal handlers.
termios g_found_settings{};
termios g_changed_settings{};
volatile std::sig_atomic_t g_changed = 0;

constexpr int kRestoredSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Made readable by the resume and ending handlers, for the loop's one wait.
int g_wake = -1;
// The ending signal caught first, and how many times the program resumed:
// set by their handlers.
volatile std::sig_atomic_t g_ending = 0;
volatile std::sig_atomic_t g_resumes = 0;

void wake_up() {
    if (g_wake >= 0) {
        const std::uint64_t one = 1;
        (void)!write(g_wake, &one, sizeof one);  // async-signal-safe
    }
}

extern "C" void restore_and_die(int sig) {
    const int saved_errno = errno;  // raise() returns when the signal is held up
    if (g_changed != 0 && terminal::foreground()) {
        tcsetattr(STDIN_FILENO, TCSANOW, &g_found_settings);  // async-signal-safe
    }
    // The handler was installed with SA_RESETHAND and SA_NODEFER: raising the
    // signal again now ends the process by its default action.
    raise(sig);
    errno = saved_errno;
}

// SA_RESTART: a read that waits for a key goes on waiting after `fg`.
constexpr int kStopFlags = SA_NODEFER | SA_RESTART;

void install(int sig, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(sig, &action, nullptr);
}

// Ctrl-Z: the shell gets the terminal back as it was found while this
// process is stopped, and the changed settings return with `fg`.
extern "C" void restore_and_stop(int sig) {
    const int saved_errno = errno;
    if (g_changed != 0 && terminal::foreground()) {
        tcsetattr(STDIN_FILENO, TCSANOW, &g_found_settings);
    }
    // SA_NODEFER leaves the signal unblocked here: with its default action
    // back, raising it stops the process at once, and raise() returns when
    // a SIGCONT resumes it.
    install(sig, SIG_DFL, 0);
    raise(sig);
    install(sig, restore_and_stop, kStopFlags);
    // Continued, or never stopped (an orphaned process group ignores the
    // stop): the changed settings return, but only in the foreground.
    if (g_changed != 0 && terminal::foreground()) {
        tcsetattr(STDIN_FILENO, TCSANOW, &g_changed_settings);
    }
    errno = saved_errno;
}

// Resumed (fg or bg): the changed settings return only in the foreground; in
// the background the terminal is the shell's. The loop is woken to look at
// where it now stands.
extern "C" void resumed(int /*sig*/) {
    const int saved_errno = errno;
    if (g_changed != 0 && terminal::foreground()) {
        tcsetattr(STDIN_FILENO, TCSANOW, &g_changed_settings);
    }
    g_resumes = g_resumes + 1;
    wake_up();
    errno = saved_errno;
}

// An ending signal: the first asks the loop to take the way out; a second
// of the same ends the process at once, the terminal put back first.
extern "C" void begin_ending(int sig) {
    const int saved_errno = errno;
    if (g_ending == sig) {
        if (g_changed != 0 && terminal::foreground()) {
            tcsetattr(STDIN_FILENO, TCSANOW, &g_found_settings);
        }
        install(sig, SIG_DFL, 0);
        raise(sig);  // delivered, by its default action, once this handler returns
    } else if (g_ending == 0) {
        g_ending = sig;
        wake_up();
    }
    errno = saved_errno;
}

void open_wake() {
    if (g_wake < 0) {
        g_wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }
}

bool default_action(int sig) {
    struct sigaction old_action {};
    return sigaction(sig, nullptr, &old_action) == 0 && old_action.sa_handler == SIG_DFL;
}

}  // namespace

namespace terminal {

// An ignored or handled signal stays as the caller set it.
void install_signal_handlers() {
    static bool installed = false;
    if (installed) {
        return;
    }
    installed = true;
    open_wake();
    for (const int sig : kRestoredSignals) {
        if (default_action(sig)) {
            install(sig, restore_and_die, SA_RESETHAND | SA_NODEFER);
        }
    }
    if (default_action(SIGTSTP)) {
        install(SIGTSTP, restore_and_stop, kStopFlags);
    }
    if (default_action(SIGCONT)) {
        install(SIGCONT, resumed, SA_RESTART);
    }
}

void catch_ending_signals() {
    static bool caught = false;
    if (caught) {
        return;
    }
    caught = true;
    open_wake();
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        if (default_action(sig)) {
            install(sig, begin_ending, SA_RESTART);
        }
    }
}

int ending_signal() {
    return g_ending;
}

void end_by(int sig) {
    install(sig, SIG_DFL, 0);
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, sig);
    sigprocmask(SIG_UNBLOCK, &just, nullptr);
    raise(sig);
    _exit(128 + sig);  // only if the signal did not end the process
}

unsigned resumes() {
    return static_cast<unsigned>(g_resumes);
}

int wake_descriptor() {
    return g_wake;
}

void clear_wake() {
    std::uint64_t count = 0;
    if (g_wake >= 0) {
        (void)!read(g_wake, &count, sizeof count);
    }
}

bool foreground(int fd) {
    const pid_t owner = tcgetpgrp(fd);
    return owner < 0 || owner == getpgrp();
}

void discard_input() {
    if (foreground()) {
        tcflush(STDIN_FILENO, TCIFLUSH);
    }
}

int enter(Setting setting, int action) {
    termios found{};
    // A descriptor that is not a terminal fails here, and nothing changes;
    // from the background, changing the settings would stop the program.
    if (tcgetattr(STDIN_FILENO, &found) != 0 || !foreground()) {
        return -1;
    }
    termios changed = found;
    changed.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    if (setting == Setting::kOneKey) {
        changed.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        // VMIN 1, VTIME 0: a read waits, without a time limit, for one byte.
        changed.c_cc[VMIN] = 1;
        changed.c_cc[VTIME] = 0;
    }
    install_signal_handlers();
    g_found_settings = found;
    g_changed_settings = changed;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_changed = 1;
    const int status = tcsetattr(STDIN_FILENO, action, &changed);
    if (status != 0) {
        g_changed = 0;
    }
    return status;
}

void adopt(const termios& found, const termios& changed) {
    install_signal_handlers();
    g_found_settings = found;
    g_changed_settings = changed;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_changed = 1;
}

void forget() {
    g_changed = 0;
}

int leave(int action) {
    const int status = foreground() ? tcsetattr(STDIN_FILENO, action, &g_found_settings) : 0;
    g_changed = 0;
    return status;
}

}  // namespace terminal
