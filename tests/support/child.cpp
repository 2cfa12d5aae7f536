#include "child.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <stdexcept>
#include <thread>

#include "budget.h"

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

// A child that prints without end (a loop that never stops) must not fill
// the test's memory: past this, the test stops it and fails at once.
constexpr std::size_t kMostCaptured = std::size_t{8} * 1024 * 1024;

}  // namespace

void exec_program(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    setenv("TERM", "dumb", 1);
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    // The test runner may leave signals blocked or ignored; the child starts clean.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        std::signal(sig, SIG_DFL);
    }
    execv(args[0], args.data());
    _exit(127);
}

void exec_program_crowded(const std::vector<std::string>& argv) {
    constexpr rlim_t kMoreDescriptors = 4096;
    const rlimit more{kMoreDescriptors, kMoreDescriptors};
    setrlimit(RLIMIT_NOFILE, &more);
    const int null = open("/dev/null", O_RDONLY);
    for (int fd = 3; fd < FD_SETSIZE; ++fd) {
        dup2(null, fd);
    }
    exec_program(argv);
}

namespace {

// In the forked child: ends it with SIGKILL when the test process ends,
// however that happens (a crash, an abort, CTest's kill at its limit), so
// that no child outlives its test. The signal is tied to the thread that
// forked; a parent that has already gone is caught by the check after it.
void end_with_parent(pid_t parent) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
        _exit(127);
    }
}

// The parent of each process, from /proc.
std::map<pid_t, pid_t> parents() {
    std::map<pid_t, pid_t> parent_of;
    if (DIR* dir = opendir("/proc")) {
        while (const dirent* entry = readdir(dir)) {
            char* end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (pid <= 0 || *end != '\0') {
                continue;
            }
            // "pid (name) state ppid ...": the name may hold spaces and parentheses.
            std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
            std::string line;
            std::getline(stat, line);
            const auto name_end = line.rfind(')');
            char state = 0;
            long parent = 0;
            if (name_end != std::string::npos &&
                std::sscanf(line.c_str() + name_end + 1, " %c %ld", &state, &parent) == 2) {
                parent_of[static_cast<pid_t>(pid)] = static_cast<pid_t>(parent);
            }
        }
        closedir(dir);
    }
    return parent_of;
}

// Kills what a child started and left running (a shell's jobs, say), which
// would otherwise outlive the test: found while the child still holds them.
void kill_descendants(pid_t pid) {
    const auto parent_of = parents();
    std::vector<pid_t> found{pid};
    for (std::size_t i = 0; i < found.size() && found.size() < 1000; ++i) {
        for (const auto& [child, parent] : parent_of) {
            if (parent == found[i]) {
                found.push_back(child);
            }
        }
    }
    for (std::size_t i = 1; i < found.size(); ++i) {
        kill(found[i], SIGKILL);
    }
}

void append_available(int fd, std::string& into, bool& open) {
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
        into.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        open = false;  // end of file, or EIO once the terminal's last user has gone
    }
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, Input input) {
    spawn([&argv] { exec_program(argv); }, input);
}

Child::Child(const std::function<int()>& body, Input input) {
    spawn(
        [&body] {
            const int result = body();
            std::fflush(nullptr);
            _exit(result);
        },
        input);
}

void Child::spawn(const std::function<void()>& in_child, Input input) {
    std::fflush(nullptr);
    const pid_t parent = getpid();
    if (input == Input::kTerminal) {
        winsize size{24, 80, 0, 0};
        pid_ = forkpty(&master_, nullptr, nullptr, &size);
        if (pid_ < 0) {
            throw std::runtime_error("forkpty failed");
        }
        if (pid_ == 0) {
            end_with_parent(parent);
            // Nothing of the test's own, its runner's output pipe included,
            // is held open by the child or by whatever it starts.
            closefrom(3);
            in_child();
            _exit(127);
        }
        return;
    }
    int out[2];
    int err[2];
    int in[2] = {-1, -1};
    int slave = -1;
    if (pipe(out) != 0 || pipe(err) != 0 || (input == Input::kPipe && pipe(in) != 0) ||
        (input == Input::kTerminalInput &&
         openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0)) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        end_with_parent(parent);
        int in_fd = -1;
        if (input == Input::kPipe) {
            in_fd = in[0];
        } else if (input == Input::kTerminalInput) {
            setsid();
            in_fd = slave;
        } else {
            in_fd = open("/dev/null", O_RDONLY);
        }
        dup2(in_fd, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        closefrom(3);
        in_child();
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    if (input == Input::kPipe) {
        close(in[0]);
        in_fd_ = in[1];
    }
    if (slave >= 0) {
        close(slave);
        term_fd_ = master_;
        master_ = -1;
    }
}

Child::~Child() {
    if (!status_) {
        kill_descendants(pid_);
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    for (const int fd : {master_, out_fd_, err_fd_, in_fd_, term_fd_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void Child::write(std::string_view bytes) const {
    const int fd = master_ >= 0 ? master_ : term_fd_ >= 0 ? term_fd_ : in_fd_;
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void Child::hang_up() {
    int& side = term_fd_ >= 0 ? term_fd_ : master_;
    if (side >= 0) {
        close(side);
        side = -1;
    }
}

void Child::close_output() {
    if (out_fd_ >= 0) {
        close(out_fd_);
        out_fd_ = -1;
    }
}

void Child::close_input() {
    if (in_fd_ >= 0) {
        close(in_fd_);
        in_fd_ = -1;
    }
}

void Child::pump(milliseconds timeout) {
    pollfd fds[2];
    nfds_t count = 0;
    const int first = master_ >= 0 ? master_ : out_fd_;
    if (first >= 0) {
        fds[count++] = {first, POLLIN, 0};
    }
    if (err_fd_ >= 0) {
        fds[count++] = {err_fd_, POLLIN, 0};
    }
    if (count == 0) {
        std::this_thread::sleep_for(timeout);
        return;
    }
    if (poll(fds, count, static_cast<int>(timeout.count())) <= 0) {
        return;
    }
    for (nfds_t i = 0; i < count; ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        bool open = true;
        if (fds[i].fd == err_fd_) {
            append_available(err_fd_, err_, open);
            if (!open) {
                close(err_fd_);
                err_fd_ = -1;
            }
        } else {
            append_available(fds[i].fd, out_, open);
            if (!open) {
                close(fds[i].fd);
                (master_ >= 0 ? master_ : out_fd_) = -1;
            }
        }
    }
    if (out_.size() + err_.size() > kMostCaptured) {
        kill(pid_, SIGKILL);
        std::fprintf(stderr,
                     "the child printed more than 8 MiB: it was stopped, and the test fails\n"
                     "its last words: %s\n",
                     out_.substr(out_.size() - 200).c_str());
        std::abort();
    }
}

bool Child::wait_for(std::string_view needle, milliseconds timeout) {
    const Bounded bound = within_budget(timeout);
    const auto deadline = Clock::now() + bound.length;
    for (;;) {
        const auto found = out_.find(needle, cursor_);
        if (found != std::string::npos) {
            cursor_ = found + needle.size();
            return true;
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            if (bound.cut) {
                budget_spent();
            }
            return false;
        }
        pump(std::min(left, milliseconds(50)));
    }
}

std::string Child::read_for(milliseconds period) {
    const Bounded bound = within_budget(period);
    const auto deadline = Clock::now() + bound.length;
    while (Clock::now() < deadline) {
        pump(std::min(
            std::chrono::duration_cast<milliseconds>(deadline - Clock::now()) + milliseconds(1),
            milliseconds(20)));
    }
    if (bound.cut) {
        budget_spent();
    }
    return take();
}

std::string Child::take() {
    std::string rest = out_.substr(cursor_);
    cursor_ = out_.size();
    return rest;
}

std::optional<int> Child::wait_exit(milliseconds timeout) {
    const Bounded bound = within_budget(timeout);
    const auto deadline = Clock::now() + bound.length;
    while (!status_) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = status;
            break;
        }
        if (Clock::now() >= deadline) {
            if (bound.cut) {
                budget_spent();
            }
            return std::nullopt;
        }
        pump(milliseconds(10));
    }
    // Collect whatever is still in the pipes or on the terminal (a pipe may
    // hold tens of kilobytes written just before the end), until they are
    // closed or nothing more comes.
    const auto drained_by = Clock::now() + milliseconds(1000);
    std::size_t got = out_.size() + err_.size();
    for (int idle = 0; idle < 5 && Clock::now() < drained_by &&
                       ((master_ >= 0 ? master_ : out_fd_) >= 0 || err_fd_ >= 0);) {
        pump(milliseconds(5));
        const std::size_t now = out_.size() + err_.size();
        idle = now == got ? idle + 1 : 0;
        got = now;
    }
    return status_;
}

void Child::kill_now(int sig) const {
    kill(pid_, sig);
}

std::chrono::nanoseconds cpu_time(pid_t pid) {
    long long total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* dir = opendir(tasks.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            std::ifstream stat(tasks + "/" + entry->d_name + "/schedstat");
            long long nanos = 0;
            if (entry->d_name[0] != '.' && stat >> nanos) {
                total += nanos;
            }
        }
        closedir(dir);
    }
    return std::chrono::nanoseconds(total);
}

int exit_code(const std::optional<int>& status) {
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

std::string plain(std::string text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        out += text[i];
    }
    return out;
}

bool wait_for_raw(int terminal, bool echo_off, milliseconds timeout) {
    const Bounded bound = within_budget(timeout);
    const auto deadline = Clock::now() + bound.length;
    while (Clock::now() < deadline) {
        termios t{};
        if (tcgetattr(terminal, &t) == 0) {
            const bool raw = (t.c_lflag & ICANON) == 0 && (!echo_off || (t.c_lflag & ECHO) == 0);
            if (raw) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (bound.cut) {
        budget_spent();
    }
    return false;
}

}  // namespace testsupport
