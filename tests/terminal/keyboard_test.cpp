// kbhit() and getch() on a real pseudo-terminal standing in as standard input.
#include "keyboard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "child.h"
#include "settings.h"

namespace {

using std::chrono::milliseconds;
using testsupport::wait_for_raw;

extern "C" void on_alarm(int /*sig*/) {}

// getch() with a time limit: a key that never comes (a typist that never
// saw the terminal waiting) interrupts its read after five seconds, so a
// broken getch() fails its test instead of hanging the suite.
int bounded_getch() {
    struct sigaction action {};
    action.sa_handler = on_alarm;  // no SA_RESTART: the read returns EINTR
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
    const pthread_t reader = pthread_self();
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> held(lock);
        if (!finished.wait_for(held, std::chrono::seconds(5), [&] { return done; })) {
            pthread_kill(reader, SIGALRM);
        }
    });
    const int key = getch();
    {
        const std::lock_guard<std::mutex> held(lock);
        done = true;
    }
    finished.notify_one();
    watchdog.join();
    return key;
}

// Run by the job-control test as a program of its own: one getch(), and
// what it returned.
const bool g_getch_helper = [] {
    if (std::getenv("LANLINK_TEST_GETCH_ONCE") == nullptr) {
        return false;
    }
    const int key = getch();
    std::printf("key=%d\n", key);
    std::fflush(stdout);
    std::_Exit(0);
}();

bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

class KeyboardOnTerminal : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        saved_stdin_ = dup(0);
        ASSERT_GE(saved_stdin_, 0);
        ASSERT_EQ(dup2(slave_, 0), 0);
    }
    void TearDown() override {
        dup2(saved_stdin_, 0);
        close(saved_stdin_);
        close(slave_);
        if (master_ >= 0) {
            close(master_);
        }
    }

    // Types bytes at the keyboard and waits (at most 3 s) until the terminal
    // has taken them in: it echoes a byte once it holds it, as one byte or
    // more, so the echo waiting to be read has grown by at least as many.
    // Only for a terminal that echoes, as it does until a test turns it off.
    void type(const std::string& keys) const {
        const int before = echo_waiting();
        ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
        const auto deadline = std::chrono::steady_clock::now() + testsupport::patient();
        while (echo_waiting() < before + static_cast<int>(keys.size())) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline)
                << "the terminal did not take in " << keys.size() << " typed bytes";
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    // Bytes the terminal has shown that the test has not read yet.
    int echo_waiting() const {
        int waiting = 0;
        return ioctl(master_, FIONREAD, &waiting) == 0 ? waiting : -1;
    }

    // Types `keys` as soon as getch() has put the terminal in its key-wait settings.
    std::thread type_when_waiting(const std::string& keys) const {
        return std::thread([this, keys] {
            if (wait_for_raw(master_, true)) {
                (void)!write(master_, keys.data(), keys.size());
            }
        });
    }

    // What the terminal has shown (its echo) since the last call.
    std::string screen() const {
        std::string shown;
        const int flags = fcntl(master_, F_GETFL);
        fcntl(master_, F_SETFL, flags | O_NONBLOCK);
        char buf[256];
        ssize_t n = 0;
        while ((n = read(master_, buf, sizeof buf)) > 0) {
            shown.append(buf, static_cast<std::size_t>(n));
        }
        fcntl(master_, F_SETFL, flags);
        return shown;
    }

    termios settings() const {
        termios t{};
        tcgetattr(slave_, &t);
        return t;
    }

    int master_ = -1;
    int slave_ = -1;
    int saved_stdin_ = -1;
};

TEST_F(KeyboardOnTerminal, KbhitCountsWaitingBytesWithoutConsumingThem) {
    EXPECT_EQ(kbhit(), 0);
    type("abc");  // no Return: the line is unfinished
    EXPECT_EQ(kbhit(), 3);
    EXPECT_EQ(kbhit(), 3);
    type("\x1b[A");  // an arrow key counts as its three bytes
    EXPECT_EQ(kbhit(), 6);
    type("\n");
    EXPECT_EQ(kbhit(), 7);
    char line[16] = {};
    EXPECT_EQ(read(0, line, sizeof line), 7);
    EXPECT_STREQ(line, "abc\x1b[A\n");
}

TEST_F(KeyboardOnTerminal, KbhitLeavesSettingsAndEchoAsFound) {
    const termios before = settings();
    EXPECT_EQ(kbhit(), 0);
    EXPECT_TRUE(same_settings(before, settings()));
    type("hi");
    EXPECT_EQ(kbhit(), 2);
    EXPECT_NE(screen().find("hi"), std::string::npos);

    termios quiet = before;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(slave_, TCSANOW, &quiet);
    EXPECT_EQ(kbhit(), 2);
    EXPECT_TRUE(same_settings(quiet, settings()));
}

TEST_F(KeyboardOnTerminal, GetchDiscardsWaitingInputAndReturnsTheNextKeyUnechoed) {
    type("zz");
    screen();
    std::thread typist = type_when_waiting("k");
    EXPECT_EQ(bounded_getch(), 'k');
    typist.join();
    EXPECT_EQ(kbhit(), 0);  // the "zz" typed before the call is gone
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(screen().find('k'), std::string::npos);
}

TEST_F(KeyboardOnTerminal, GetchReturnsHighBytesAsPositiveValues) {
    for (const int byte : {0xe9, 0x80, 0xff, 0x00}) {
        std::thread typist = type_when_waiting(std::string(1, static_cast<char>(byte)));
        ASSERT_EQ(bounded_getch(), byte);
        typist.join();
    }
}

TEST_F(KeyboardOnTerminal, GetchTakesTheFirstByteOfASequenceAndDropsTheRest) {
    std::thread typist = type_when_waiting("\x1b[A");
    EXPECT_EQ(bounded_getch(), 27);
    typist.join();
    EXPECT_EQ(kbhit(), 0);
}

TEST_F(KeyboardOnTerminal, GetchPutsBackTheSettingsItFound) {
    termios custom = settings();
    custom.c_cc[VMIN] = 4;
    custom.c_cc[VTIME] = 3;
    tcsetattr(slave_, TCSANOW, &custom);
    const termios before = settings();
    std::thread typist = type_when_waiting("\n");
    EXPECT_EQ(bounded_getch(), 10);
    typist.join();
    EXPECT_TRUE(same_settings(before, settings()));
    EXPECT_NE(settings().c_lflag & ECHO, 0U);
    EXPECT_NE(settings().c_lflag & ICANON, 0U);
}

TEST_F(KeyboardOnTerminal, GetchGivesMinusOneWhenTheTerminalGoesAway) {
    std::thread hangup([this] {
        if (wait_for_raw(master_, true)) {
            close(master_);
        }
    });
    EXPECT_EQ(bounded_getch(), -1);
    hangup.join();
    master_ = -1;
}

// Standard input redirected from a file, /dev/null or a pipe.
class KeyboardWithoutTerminal : public ::testing::Test {
  protected:
    void redirect(int fd) {
        saved_ = dup(0);
        dup2(fd, 0);
        close(fd);
    }
    void TearDown() override {
        dup2(saved_, 0);
        close(saved_);
    }
    int saved_ = -1;
};

TEST_F(KeyboardWithoutTerminal, BothFailAndNothingIsReadFromAFile) {
    char name[] = "/tmp/lanlink-keys-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    unlink(name);
    ASSERT_EQ(write(fd, "yes\n", 4), 4);
    lseek(fd, 0, SEEK_SET);
    redirect(fd);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(kbhit(), -1);
        EXPECT_EQ(bounded_getch(), -1);
    }
    EXPECT_EQ(lseek(0, 0, SEEK_CUR), 0);
}

TEST_F(KeyboardWithoutTerminal, BothFailOnAPipe) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "x", 1), 1);
    redirect(p[0]);
    EXPECT_EQ(kbhit(), -1);
    EXPECT_EQ(bounded_getch(), -1);
    char c = 0;
    EXPECT_EQ(read(0, &c, 1), 1);  // the byte is still there
    close(p[1]);
}

// A signal that ends the process while getch() waits must leave the terminal
// as it was found, and the process must still end by that signal.
class KeyboardSignal : public ::testing::TestWithParam<int> {};

TEST_P(KeyboardSignal, RestoresTheTerminalAndEndsByTheSignal) {
#ifdef LANLINK_THREAD_SANITIZED
    GTEST_SKIP() << "under ThreadSanitizer every signal stays blocked while a handler runs "
                    "(SA_NODEFER notwithstanding), so a handler that raises its signal again "
                    "does not end the process there";
#endif
    const int sig = GetParam();
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios before{};
    tcgetattr(slave, &before);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        dup2(slave, 0);
        alarm(10);  // a child left waiting ends by itself
        getch();
        _exit(0);
    }
    const bool waiting = wait_for_raw(master, true);
    kill(pid, waiting ? sig : SIGKILL);
    ASSERT_TRUE(waiting);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), sig);
    termios after{};
    tcgetattr(slave, &after);
    EXPECT_TRUE(same_settings(before, after));
    close(slave);
    close(master);
}

INSTANTIATE_TEST_SUITE_P(EndingSignals, KeyboardSignal,
                         ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT));

}  // namespace

namespace {

// A job-control shell cut to the bone, run on the terminal: the test
// program, as a getch() helper, is its foreground job. Each time the job
// stops it says "stopped" and, on SIGUSR1, gives it the terminal back and
// continues it (fg). Unlike a real shell it never puts settings back
// itself, so what the terminal shows while the job is stopped is the job's
// doing.
int job_shell() {
    std::signal(SIGTTOU, SIG_IGN);  // it hands the terminal over from the background
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, nullptr);
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
        return 126;
    }
    const pid_t job = fork();
    if (job == 0) {
        setpgid(0, 0);
        tcsetpgrp(STDIN_FILENO, getpid());
        std::signal(SIGTTOU, SIG_DFL);
        setenv("LANLINK_TEST_GETCH_ONCE", "1", 1);
        testsupport::exec_program({self});
    }
    setpgid(job, job);
    tcsetpgrp(STDIN_FILENO, job);
    for (;;) {
        int status = 0;
        if (waitpid(job, &status, WUNTRACED) < 0) {
            return 125;
        }
        if (!WIFSTOPPED(status)) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 124;
        }
        std::puts("stopped");
        std::fflush(stdout);
        int sig = 0;
        sigwait(&usr1, &sig);
        tcsetpgrp(STDIN_FILENO, job);
        kill(job, SIGCONT);
    }
}

// Ctrl-Z gives the terminal back as it was found, every time; after fg,
// getch() goes on waiting for its key.
// A resume (SIGCONT) makes the wake descriptor readable, for the loop's one
// wait; an ending signal asks the program to end, and a second of the same
// ends it at once.
TEST(TerminalSignals, AResumeAndAnEndingSignalWakeTheWait) {
    testsupport::Child resumed(
        [] {
            terminal::install_signal_handlers();
            pollfd wake{terminal::wake_descriptor(), POLLIN, 0};
            kill(getpid(), SIGCONT);
            if (poll(&wake, 1, 0) != 1 || terminal::resumes() != 1) {
                return 1;
            }
            terminal::clear_wake();
            return poll(&wake, 1, 0) == 0 ? 0 : 2;
        },
        testsupport::Input::kNull);
    EXPECT_EQ(testsupport::exit_code(resumed.wait_exit()), 0);
    testsupport::Child ending(
        [] {
            terminal::catch_ending_signals();
            pollfd wake{terminal::wake_descriptor(), POLLIN, 0};
            kill(getpid(), SIGTERM);
            if (terminal::ending_signal() != SIGTERM || poll(&wake, 1, 0) != 1) {
                return 1;
            }
            kill(getpid(), SIGTERM);  // the second: ended by it
            return 2;
        },
        testsupport::Input::kNull);
    const auto status = ending.wait_exit();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << *status;
}

TEST(KeyboardJobControl, GetchWaitsOnAcrossCtrlZAndFg) {
#ifdef LANLINK_THREAD_SANITIZED
    GTEST_SKIP() << "under ThreadSanitizer every signal stays blocked while a handler runs "
                    "(SA_NODEFER notwithstanding), so a handler that raises its signal again "
                    "does not stop the process there";
#endif
    testsupport::Child shell(job_shell, testsupport::Input::kTerminal);
    for (int stop = 0; stop < 2; ++stop) {
        ASSERT_TRUE(wait_for_raw(shell.terminal(), true)) << stop;
        shell.write("\x1a");  // Ctrl-Z
        ASSERT_TRUE(shell.wait_for("stopped")) << stop;
        termios stopped{};
        ASSERT_EQ(tcgetattr(shell.terminal(), &stopped), 0);
        EXPECT_NE(stopped.c_lflag & ICANON, 0U) << stop;
        EXPECT_NE(stopped.c_lflag & ECHO, 0U) << stop;
        shell.kill_now(SIGUSR1);  // fg
    }
    ASSERT_TRUE(wait_for_raw(shell.terminal(), true));
    shell.write("k");
    EXPECT_TRUE(shell.wait_for("key=107"));
    EXPECT_EQ(testsupport::exit_code(shell.wait_exit()), 0);
}

}  // namespace
