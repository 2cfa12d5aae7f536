#include "keyboard.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>

namespace {

// While a keyboard function has the terminal in its raw settings, the
// settings it found are kept here so that a signal that ends the process can
// put them back first.
termios g_saved_settings{};
volatile std::sig_atomic_t g_raw_active = 0;

constexpr int kRestoredSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void restore_and_die(int sig) {
    if (g_raw_active != 0) {
        tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_settings);  // async-signal-safe
    }
    // The handler was installed with SA_RESETHAND and SA_NODEFER: raising the
    // signal again now ends the process by its default action.
    raise(sig);
}

void install_restore_handlers() {
    static bool installed = false;
    if (installed) {
        return;
    }
    installed = true;
    for (const int sig : kRestoredSignals) {
        struct sigaction old_action {};
        if (sigaction(sig, nullptr, &old_action) != 0 || old_action.sa_handler != SIG_DFL) {
            continue;  // an ignored or handled signal stays as the caller set it
        }
        struct sigaction action {};
        action.sa_handler = restore_and_die;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND | SA_NODEFER;
        sigaction(sig, &action, nullptr);
    }
}

// Applies `raw` and marks the saved settings as the ones to put back.
int enter_raw(const termios& saved, const termios& raw, int action) {
    install_restore_handlers();
    g_saved_settings = saved;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_raw_active = 1;
    const int status = tcsetattr(STDIN_FILENO, action, &raw);
    if (status != 0) {
        g_raw_active = 0;
    }
    return status;
}

int leave_raw(const termios& saved, int action) {
    const int status = tcsetattr(STDIN_FILENO, action, &saved);
    g_raw_active = 0;
    return status;
}

}  // namespace

int kbhit() {
    int waiting = 0;
    termios saved{};
    tcgetattr(STDIN_FILENO, &saved);
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    int status = enter_raw(saved, raw, TCSANOW);
    if (status == 0) {
        status += ioctl(STDIN_FILENO, FIONREAD, &waiting);
        status += leave_raw(saved, TCSANOW);
        const timespec pause{0, 10};
        nanosleep(&pause, nullptr);
    }
    return status != 0 ? -1 : waiting;
}

int getch() {
    std::fflush(stdout);
    termios saved{};
    tcgetattr(STDIN_FILENO, &saved);
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    unsigned char key = 0;
    int status = enter_raw(saved, raw, TCSAFLUSH);
    if (status == 0) {
        status = static_cast<int>(read(STDIN_FILENO, &key, 1));
        status += leave_raw(saved, TCSAFLUSH);
    }
    return status == 1 ? key : -1;
}
