// Starting the measured programs, and the one thread that reads whatever
// they write to pipes and terminals.
#include "launch.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "child.h"

namespace bench {

using Clock = std::chrono::steady_clock;

// One output the reading thread reads: a pipe's read end or a terminal's
// master side.
struct Stream {
    int fd = -1;
    mutable std::mutex mutex;
    std::condition_variable grew;
    std::string kept;  // the first kKept bytes
    long long bytes = 0;
    long long lines = 0;
    std::vector<std::string> watched;  // texts looked for in every read
    std::vector<bool> seen;
    bool ended = false;
};

namespace {

constexpr std::size_t kKept = 64 * 1024;

// Reads every registered output as soon as it has something, so that no
// program is ever held up by a full pipe or terminal.
class Reader {
  public:
    static Reader& get() {
        static Reader* reader = new Reader;  // never destroyed: its thread runs to the end
        return *reader;
    }

    void add(const std::shared_ptr<Stream>& stream) {
        const std::lock_guard<std::mutex> lock(mutex_);
        streams_.push_back(stream);
        wake();
    }

    // Once this returns the thread no longer reads `stream`'s descriptor,
    // which may then be closed.
    void remove(const std::shared_ptr<Stream>& stream) {
        std::unique_lock<std::mutex> lock(mutex_);
        streams_.erase(std::remove(streams_.begin(), streams_.end(), stream), streams_.end());
        const std::uint64_t asked = generation_;
        wake();
        looked_.wait(lock, [&] { return generation_ > asked; });
    }

  private:
    Reader() {
        wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        std::thread([this] { run(); }).detach();
    }

    void wake() const {
        const std::uint64_t one = 1;
        (void)!::write(wake_fd_, &one, sizeof one);
    }

    void run() {
        std::vector<std::shared_ptr<Stream>> mine;
        std::vector<pollfd> fds;
        std::vector<char> buf(64 * 1024);
        for (;;) {
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                mine = streams_;
                ++generation_;
            }
            looked_.notify_all();
            fds.clear();
            fds.push_back({wake_fd_, POLLIN, 0});
            for (const auto& stream : mine) {
                fds.push_back({stream->ended ? -1 : stream->fd, POLLIN, 0});
            }
            if (poll(fds.data(), fds.size(), -1) < 0) {
                continue;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                std::uint64_t count = 0;
                (void)!::read(wake_fd_, &count, sizeof count);
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                    continue;
                }
                Stream& stream = *mine[i - 1];
                const ssize_t n = ::read(stream.fd, buf.data(), buf.size());
                const std::lock_guard<std::mutex> lock(stream.mutex);
                if (n > 0) {
                    const std::string_view got(buf.data(), static_cast<std::size_t>(n));
                    stream.bytes += n;
                    stream.lines += std::count(got.begin(), got.end(), '\n');
                    if (stream.kept.size() < kKept) {
                        stream.kept.append(got.substr(0, kKept - stream.kept.size()));
                    }
                    for (std::size_t w = 0; w < stream.watched.size(); ++w) {
                        if (got.find(stream.watched[w]) != std::string_view::npos) {
                            stream.seen[w] = true;
                        }
                    }
                } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                    stream.ended = true;  // end of file, or EIO once the terminal's last user went
                }
                stream.grew.notify_all();
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable looked_;
    std::vector<std::shared_ptr<Stream>> streams_;
    std::uint64_t generation_ = 0;
    int wake_fd_ = -1;
};

int open_or_die(const char* path, int flags) {
    const int fd = open(path, flags | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw std::runtime_error(std::string("cannot open ") + path + ": " + std::strerror(errno));
    }
    return fd;
}

// In the forked child, before its program runs: it ends with the benchmark.
void end_with_parent(pid_t parent) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
        _exit(127);
    }
}

}  // namespace

Program::Program(const std::vector<std::string>& argv, Output output, const std::string& file) {
    std::fflush(nullptr);
    const pid_t parent = getpid();
    if (output == Output::kTerminal) {
        winsize size{24, 80, 0, 0};
        pid_ = forkpty(&master_, nullptr, nullptr, &size);
        if (pid_ < 0) {
            throw std::runtime_error("forkpty failed");
        }
        if (pid_ == 0) {
            end_with_parent(parent);
            closefrom(3);
            testsupport::exec_program(argv);
        }
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        stream_ = std::make_shared<Stream>();
        stream_->fd = master_;
        Reader::get().add(stream_);
        return;
    }
    const int null_in = open_or_die("/dev/null", O_RDONLY);
    const int null_out = open_or_die("/dev/null", O_WRONLY);
    int out = null_out;
    int pipe_fds[2] = {-1, -1};
    if (output == Output::kFile) {
        out = open_or_die(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
    } else if (output == Output::kPipe) {
        if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        out = pipe_fds[1];
    }
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        end_with_parent(parent);
        dup2(null_in, 0);
        dup2(out, 1);
        dup2(null_out, 2);
        closefrom(3);
        testsupport::exec_program(argv);
    }
    close(null_in);
    close(null_out);
    if (output == Output::kFile) {
        close(out);
    }
    if (output == Output::kPipe) {
        close(pipe_fds[1]);
        stream_ = std::make_shared<Stream>();
        stream_->fd = pipe_fds[0];
        Reader::get().add(stream_);
    }
}

Program::~Program() {
    if (!status_) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    if (stream_) {
        Reader::get().remove(stream_);
        close(stream_->fd);
    }
}

void Program::write(std::string_view bytes) const {
    while (master_ >= 0 && !bytes.empty()) {
        const ssize_t n = ::write(master_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

bool Program::wait_for(std::string_view text, std::chrono::milliseconds timeout) {
    if (!stream_) {
        return false;
    }
    std::unique_lock<std::mutex> lock(stream_->mutex);
    return stream_->grew.wait_for(lock, timeout, [&] {
        return stream_->kept.find(text) != std::string::npos || stream_->ended;
    }) && stream_->kept.find(text) != std::string::npos;
}

std::string Program::output() const {
    if (!stream_) {
        return "";
    }
    const std::lock_guard<std::mutex> lock(stream_->mutex);
    return stream_->kept;
}

long long Program::bytes_out() const {
    if (!stream_) {
        return 0;
    }
    const std::lock_guard<std::mutex> lock(stream_->mutex);
    return stream_->bytes;
}

long long Program::lines_out() const {
    if (!stream_) {
        return 0;
    }
    const std::lock_guard<std::mutex> lock(stream_->mutex);
    return stream_->lines;
}

void Program::watch(const std::string& text) {
    if (stream_) {
        const std::lock_guard<std::mutex> lock(stream_->mutex);
        stream_->watched.push_back(text);
        stream_->seen.push_back(false);
    }
}

bool Program::said(std::string_view text) const {
    if (!stream_) {
        return false;
    }
    const std::lock_guard<std::mutex> lock(stream_->mutex);
    if (stream_->kept.find(text) != std::string::npos) {
        return true;
    }
    for (std::size_t w = 0; w < stream_->watched.size(); ++w) {
        if (stream_->watched[w] == text && stream_->seen[w]) {
            return true;
        }
    }
    return false;
}

std::optional<int> Program::wait_exit(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!status_) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = status;
            break;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return status_;
}

void Program::kill_now() {
    if (!status_) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        status_ = status;
    }
}

const std::string& scratch_dir() {
    static const std::string dir = [] {
        char name[] = "/tmp/lanlink-bench-XXXXXX";
        if (mkdtemp(name) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        return std::string(name);
    }();
    return dir;
}

void remove_scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(scratch_dir(), ignored);
}

namespace {

// The inodes of the UDP sockets bound to `port` in `table` (/proc/net/udp or udp6).
std::vector<std::string> socket_inodes(const char* table, std::uint16_t port) {
    std::vector<std::string> inodes;
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the column names
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, "%04X", port);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot;
        std::string local;
        fields >> slot >> local;
        if (local.substr(local.find(':') + 1) != wanted) {
            continue;
        }
        std::string field;
        // remote, state, queues, timer, retransmits, uid, timeout, inode
        for (int i = 0; i < 8 && fields >> field; ++i) {
        }
        inodes.push_back(field);
    }
    return inodes;
}

}  // namespace

bool wait_bound(std::uint16_t port, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (!socket_inodes("/proc/net/udp", port).empty() ||
            !socket_inodes("/proc/net/udp6", port).empty()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

std::vector<int> set_receive_queue(pid_t pid, std::uint16_t port, int bytes) {
    std::vector<std::string> inodes = socket_inodes("/proc/net/udp", port);
    for (const std::string& inode : socket_inodes("/proc/net/udp6", port)) {
        inodes.push_back(inode);
    }
    std::vector<int> sizes;
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
        return sizes;
    }
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* dir = opendir(fds.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            char target[64] = {};
            const std::string link = fds + "/" + entry->d_name;
            if (entry->d_name[0] == '.' ||
                readlink(link.c_str(), target, sizeof target - 1) <= 0) {
                continue;
            }
            const std::string name = target;
            if (std::none_of(inodes.begin(), inodes.end(), [&](const std::string& inode) {
                    return name == "socket:[" + inode + "]";
                })) {
                continue;
            }
            const int fd = static_cast<int>(
                syscall(SYS_pidfd_getfd, pidfd, std::atoi(entry->d_name), 0));
            if (fd < 0) {
                continue;
            }
            if (bytes > 0) {
                setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
            }
            int now = 0;
            socklen_t len = sizeof now;
            getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &now, &len);
            sizes.push_back(now);
            close(fd);
        }
        closedir(dir);
    }
    close(pidfd);
    return sizes;
}

char process_state(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return '?';
    }
    const auto name_end = line.rfind(')');
    return name_end != std::string::npos && name_end + 2 < line.size() ? line[name_end + 2] : '?';
}

std::string describe_status(const std::optional<int>& status) {
    if (!status) {
        return "still running";
    }
    if (WIFEXITED(*status)) {
        return "status " + std::to_string(WEXITSTATUS(*status));
    }
    if (WIFSIGNALED(*status)) {
        return "killed by signal " + std::to_string(WTERMSIG(*status)) + " (" +
               strsignal(WTERMSIG(*status)) + ")";
    }
    return "wait status " + std::to_string(*status);
}

}  // namespace bench
