#include "output.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "keyboard.h"

namespace console {

namespace {

using Clock = std::chrono::steady_clock;

// What waits to be written is bounded: about 17,000 printouts of short
// vectors. Notices and count lines have a little room beyond it.
constexpr std::size_t kBound = std::size_t{1024} * 1024;
constexpr std::size_t kNoticeBound = kBound + std::size_t{64} * 1024;
// Text is gathered into pieces of about this size, each one write().
constexpr std::size_t kPiece = std::size_t{64} * 1024;
// At the end, the queue is written as long as the reader keeps taking it,
// but a terminal that takes nothing for this long is given up on, and so is
// the rest after the longer limit.
constexpr auto kStall = std::chrono::seconds(2);
constexpr auto kFinishLimit = std::chrono::seconds(10);
constexpr auto kForegroundLook = std::chrono::milliseconds(200);

struct Piece {
    int fd;
    std::string bytes;
};

struct Queue {
    std::mutex lock;
    std::condition_variable work;      // the writer waits for pieces
    std::condition_variable progress;  // finish_output() waits for the writer
    bool stopping = false;             // the writer ends once the queue is empty
    bool given_up = false;             // the reader stopped reading at the end
    std::deque<Piece> ready;           // to be written, in order
    std::deque<Piece> held;            // printouts that wait for a typed line
    std::size_t bytes = 0;             // in ready, held and being written
    bool holding = false;
    bool writing = false;
    std::uint64_t untold = 0;  // counted as not shown, no line has said so yet
    bool untold_while_typing = false;
    std::uint64_t not_shown = 0;
    OutputCounts counts;
    // While the loop serves what one wake brought, what it would write at
    // once is gathered and written in one piece at the end.
    bool gathering = false;
    bool gathering_all = false;  // even what could not be written at once
    std::string gathered;
    std::array<bool, 3> failed{};  // by descriptor: what went wrong stays wrong
    int error = 0;                 // the first error on standard output
    Clock::time_point last_progress;
};

// Which of standard output and standard error are terminals, asked once.
std::array<bool, 3> g_terminal{};

// The loop's own way to standard output: text that nothing waits before and
// that standard output takes at once is written by the loop itself, without
// waking the writer. A pipe or a terminal is written through an open file
// description of its own, non-blocking, so that the one shared with the
// shell keeps its flags; a socket is sent to without waiting; a file never
// makes a writer wait.
enum class Direct { kNone, kWrite, kSend };
Direct g_direct = Direct::kNone;
int g_direct_fd = -1;
bool g_own_direct_fd = false;
// Looked at when the program's place on the terminal may have changed: a
// terminal is written directly only from its foreground.
bool g_direct_allowed = true;
// Standard output is the terminal standard input is on.
bool g_output_is_input = false;

Queue* g_queue = nullptr;
std::thread* g_writer = nullptr;
FILE* g_found_stdout = nullptr;
FILE* g_found_stderr = nullptr;
std::array<int, 2> g_wake = {-1, -1};

void append(std::deque<Piece>& to, int fd, std::string_view text) {
    if (text.empty()) {
        return;
    }
    if (to.empty() || to.back().fd != fd || to.back().bytes.size() >= kPiece) {
        to.push_back(Piece{fd, std::string()});
    }
    to.back().bytes.append(text);
}

// The line that takes the place of the printouts that did not fit.
// The line that takes the place of the printouts that did not fit; the
// count starts again.
std::string untold_line(Queue& q) {
    std::string line = std::to_string(q.untold);
    line += q.untold == 1 ? " vector" : " vectors";
    line += q.untold_while_typing ? " not shown (too many arrived while a line was typed)\n"
                                  : " not shown (standard output was not being read)\n";
    q.untold = 0;
    q.untold_while_typing = false;
    return line;
}

void tell_untold(Queue& q, std::deque<Piece>& to) {
    if (q.untold == 0) {
        return;
    }
    const std::string line = untold_line(q);
    append(to, STDOUT_FILENO, line);
    q.bytes += line.size();
}

// A terminal set to stop background writers (stty tostop) is not written
// from the background: what waits for the foreground is held, and what does
// not fit meanwhile is counted like any printout that could not be shown.
bool held_for_foreground(int fd) {
    termios settings{};
    return g_terminal.at(static_cast<std::size_t>(fd)) && !terminal::foreground(fd) &&
           tcgetattr(fd, &settings) == 0 && (settings.c_lflag & TOSTOP) != 0;
}

// Writes `piece` whole; false, with errno, on an error.
bool write_all(const Piece& piece, Queue& q) {
    std::size_t done = 0;
    while (done < piece.bytes.size()) {
        const ssize_t n = write(piece.fd, piece.bytes.data() + done, piece.bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            const std::lock_guard<std::mutex> guard(q.lock);
            q.last_progress = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            // Someone set the descriptor non-blocking: wait until it takes more.
            pollfd out{piece.fd, POLLOUT, 0};
            poll(&out, 1, -1);
            continue;
        }
        if (n == 0) {
            errno = EIO;
        }
        return false;
    }
    return true;
}

void writer() {
    Queue& q = *g_queue;
    std::unique_lock<std::mutex> guard(q.lock);
    for (;;) {
        q.work.wait(guard, [&q] { return !q.ready.empty() || q.stopping; });
        if (q.ready.empty()) {
            return;
        }
        if (held_for_foreground(q.ready.front().fd)) {
            // Looked at again now and then: only the loop hears of fg.
            q.work.wait_for(guard, kForegroundLook);
            if (q.stopping) {
                return;
            }
            continue;
        }
        Piece piece = std::move(q.ready.front());
        q.ready.pop_front();
        const auto fd = static_cast<std::size_t>(piece.fd);
        if (!q.failed.at(fd)) {
            q.writing = true;
            guard.unlock();
            const bool written = write_all(piece, q);
            const int error = errno;
            guard.lock();
            q.writing = false;
            if (!written) {
                q.failed.at(fd) = true;
                if (piece.fd == STDOUT_FILENO && q.error == 0) {
                    q.error = error;
                    wake_up();
                }
            }
        }
        q.bytes -= piece.bytes.size();
        q.last_progress = Clock::now();
        // Output flows again: the count of what did not fit comes now (after
        // what the loop is gathering, which came before it: the loop tells it).
        if (!q.holding && !q.gathering && q.untold > 0 && q.bytes < kBound) {
            tell_untold(q, q.ready);
        }
        q.progress.notify_all();
    }
}

void open_direct() {
    struct stat found {};
    if (fstat(STDOUT_FILENO, &found) != 0) {
        return;
    }
    if (S_ISREG(found.st_mode)) {
        g_direct = Direct::kWrite;
        g_direct_fd = STDOUT_FILENO;
    } else if (S_ISSOCK(found.st_mode)) {
        g_direct = Direct::kSend;
        g_direct_fd = STDOUT_FILENO;
    } else {
        g_direct_fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        g_direct = g_direct_fd >= 0 ? Direct::kWrite : Direct::kNone;
        g_own_direct_fd = g_direct_fd >= 0;
    }
}

// Writes what it can of `text` at once, when nothing waits to be written
// before it: how much (the rest is for the queue). Called with the lock held;
// the writer is idle then, as nothing is queued.
bool may_write_now(const Queue& q, int fd) {
    return fd == STDOUT_FILENO && g_direct != Direct::kNone && g_direct_allowed && !q.holding &&
           q.ready.empty() && !q.writing && q.untold == 0 && !q.failed.at(STDOUT_FILENO);
}

std::size_t write_now(Queue& q, int fd, std::string_view text) {
    if (!may_write_now(q, fd)) {
        return 0;
    }
    ssize_t n = 0;
    do {
        n = g_direct == Direct::kSend
                ? send(g_direct_fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                : write(g_direct_fd, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    if (n >= 0) {
        return static_cast<std::size_t>(n);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return 0;
    }
    // An error here is an error of standard output, as the writer's are.
    q.failed.at(STDOUT_FILENO) = true;
    q.error = errno;
    return text.size();
}

// Writes what was gathered, at once where it can, and queues the rest.
void write_gathered(Queue& q) {
    if (q.gathered.empty()) {
        return;
    }
    const std::size_t done = write_now(q, STDOUT_FILENO, q.gathered);
    q.bytes -= q.gathered.size();
    if (done < q.gathered.size()) {
        append(q.ready, STDOUT_FILENO, std::string_view(q.gathered).substr(done));
        q.bytes += q.gathered.size() - done;
        q.work.notify_one();
    }
    q.gathered.clear();
}

// Writes `text` at once where it can, and queues the rest.
void put(Queue& q, std::deque<Piece>& to, int fd, std::string_view text) {
    if (&to == &q.ready && q.gathering && fd == STDOUT_FILENO &&
        (q.gathering_all || may_write_now(q, fd))) {
        q.gathered.append(text);
        q.bytes += text.size();
        ++q.counts.written_at_once;
        return;
    }
    write_gathered(q);  // what came before goes first
    const std::size_t done = &to == &q.ready ? write_now(q, fd, text) : 0;
    if (done == text.size()) {
        ++q.counts.written_at_once;
        return;
    }
    ++q.counts.queued;
    append(to, fd, text.substr(done));
    q.bytes += text.size() - done;
    q.work.notify_one();
}

void append_text(int fd, std::string_view text) {
    if (g_queue == nullptr) {
        // After the writer has ended, at the very end of the process.
        std::fwrite(text.data(), 1, text.size(), fd == STDERR_FILENO ? stderr : stdout);
        return;
    }
    Queue& q = *g_queue;
    const std::lock_guard<std::mutex> guard(q.lock);
    put(q, q.ready, fd, text);
}

ssize_t stream_write(void* cookie, const char* buf, std::size_t size) {
    append_text(*static_cast<const int*>(cookie), std::string_view(buf, size));
    return static_cast<ssize_t>(size);
}

// The descriptors the two streams stand for, as their cookies.
int g_stdout_fd = STDOUT_FILENO;
int g_stderr_fd = STDERR_FILENO;

FILE* queue_stream(int* fd) {
    cookie_io_functions_t functions{};
    functions.write = stream_write;
    FILE* stream = fopencookie(fd, "w", functions);
    if (stream == nullptr) {
        std::abort();  // only when out of memory at start
    }
    // Unbuffered: each printf or puts reaches the queue at once, in order.
    std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

bool offer(std::string_view text, std::size_t bound, bool counted) {
    if (g_queue == nullptr) {
        std::fwrite(text.data(), 1, text.size(), stdout);  // no queue: nothing is bounded
        return true;
    }
    Queue& q = *g_queue;
    const std::lock_guard<std::mutex> guard(q.lock);
    if (q.bytes + text.size() > bound) {
        if (counted) {
            ++q.untold;
            ++q.not_shown;
            q.untold_while_typing = q.untold_while_typing || q.holding;
        }
        return false;
    }
    std::deque<Piece>& to = q.holding ? q.held : q.ready;
    if (q.untold > 0 && q.gathering_all && !q.holding) {
        const std::string line = untold_line(q);  // in its place among what is gathered
        q.gathered += line;
        q.bytes += line.size();
    } else if (q.untold > 0) {
        write_gathered(q);  // what was gathered came before what was not shown
        tell_untold(q, to);
    }
    put(q, to, STDOUT_FILENO, text);
    return true;
}

}  // namespace

void start_output() {
    if (g_queue != nullptr) {
        return;
    }
    g_queue = new Queue;
    // Without descriptors to spare the loop does without being woken: it
    // notices a write error with the next thing it serves.
    if (pipe2(g_wake.data(), O_NONBLOCK | O_CLOEXEC) != 0) {
        g_wake = {-1, -1};
    }
    std::fflush(stdout);
    std::fflush(stderr);
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        g_terminal.at(static_cast<std::size_t>(fd)) = isatty(fd) == 1;
    }
    struct stat input {};
    struct stat output {};
    g_output_is_input = g_terminal.at(STDOUT_FILENO) && isatty(STDIN_FILENO) == 1 &&
                        fstat(STDIN_FILENO, &input) == 0 && fstat(STDOUT_FILENO, &output) == 0 &&
                        input.st_rdev == output.st_rdev;
    look_at_terminal();
    open_direct();
    g_found_stdout = stdout;
    g_found_stderr = stderr;
    stdout = queue_stream(&g_stdout_fd);
    stderr = queue_stream(&g_stderr_fd);
    // The writer takes no signal: they all go to the loop. With SIGPIPE
    // blocked a closed pipe is an error to report, and with SIGTTOU blocked
    // a write from the background is never what stops the program.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    g_writer = new std::thread(writer);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    std::atexit(stop_output);
}

void stop_output() {
    if (g_queue == nullptr) {
        return;
    }
    finish_output();
    {
        const std::lock_guard<std::mutex> guard(g_queue->lock);
        if (!g_queue->ready.empty() || g_queue->writing) {
            return;  // the terminal stopped reading: the process ends without it
        }
        g_queue->stopping = true;
        g_queue->work.notify_one();
    }
    g_writer->join();
    delete g_writer;
    g_writer = nullptr;
    std::fclose(stdout);
    std::fclose(stderr);
    if (g_own_direct_fd) {
        close(g_direct_fd);
    }
    g_direct = Direct::kNone;
    stdout = g_found_stdout;
    stderr = g_found_stderr;
    delete g_queue;
    g_queue = nullptr;
}

bool offer_printout(std::string_view text) {
    return offer(text, kBound, true);
}

bool offer_notice(std::string_view text) {
    return offer(text, kNoticeBound, false);
}

void offer_kept(std::string_view text) {
    offer(text, SIZE_MAX, false);
}

void hold() {
    if (g_queue == nullptr) {
        return;
    }
    const std::lock_guard<std::mutex> guard(g_queue->lock);
    g_queue->holding = true;
}

void release(std::string_view prefix) {
    if (g_queue == nullptr) {
        std::fwrite(prefix.data(), 1, prefix.size(), stdout);
        return;
    }
    Queue& q = *g_queue;
    const std::lock_guard<std::mutex> guard(q.lock);
    append(q.ready, STDOUT_FILENO, prefix);
    q.bytes += prefix.size();
    for (const Piece& piece : q.held) {
        append(q.ready, piece.fd, piece.bytes);
    }
    q.held.clear();
    q.holding = false;
    tell_untold(q, q.ready);
    q.work.notify_one();
}

void finish_output() {
    if (g_queue == nullptr) {
        std::fflush(stdout);
        return;
    }
    release();
    Queue& q = *g_queue;
    std::unique_lock<std::mutex> guard(q.lock);
    const auto start = Clock::now();
    q.last_progress = start;
    while ((!q.ready.empty() || q.writing) && !q.given_up) {
        if (Clock::now() - q.last_progress >= kStall || Clock::now() - start >= kFinishLimit) {
            q.given_up = true;  // once: the end does not wait for it twice
            break;
        }
        q.progress.wait_for(guard, std::chrono::milliseconds(50));
    }
}

void gather(bool all) {
    if (g_queue == nullptr) {
        return;
    }
    const std::lock_guard<std::mutex> guard(g_queue->lock);
    g_queue->gathering = true;
    g_queue->gathering_all = all;
}

bool has_gathered() {
    if (g_queue == nullptr) {
        return false;
    }
    const std::lock_guard<std::mutex> guard(g_queue->lock);
    return !g_queue->gathered.empty();
}

void write_gathered(std::string_view before, std::string_view after) {
    if (g_queue == nullptr) {
        return;
    }
    Queue& q = *g_queue;
    const std::lock_guard<std::mutex> guard(q.lock);
    if (!q.gathered.empty()) {
        q.gathered.insert(0, before);
        q.gathered += after;
        q.bytes += before.size() + after.size();
    }
    write_gathered(q);
    q.gathering = false;
    q.gathering_all = false;
    if (!q.holding && q.untold > 0 && q.bytes < kBound) {
        tell_untold(q, q.ready);
        q.work.notify_one();
    }
}

void look_at_terminal(std::optional<bool> input_in_front) {
    if (!g_terminal.at(STDOUT_FILENO)) {
        g_direct_allowed = true;
    } else if (input_in_front && g_output_is_input) {
        g_direct_allowed = *input_in_front;  // one terminal: one answer
    } else {
        g_direct_allowed = terminal::foreground(STDOUT_FILENO);
    }
}

int wake_descriptor() {
    return g_wake[0];
}

void clear_wake() {
    char drain[64];
    while (g_wake[0] >= 0 && read(g_wake[0], drain, sizeof drain) > 0) {
    }
}

void wake_up() {
    if (g_wake[1] >= 0) {
        const int saved = errno;  // also called from signal handlers
        (void)!write(g_wake[1], "w", 1);
        errno = saved;
    }
}

bool output_failed() {
    if (g_queue == nullptr) {
        return false;
    }
    const std::lock_guard<std::mutex> guard(g_queue->lock);
    return g_queue->failed.at(STDOUT_FILENO);
}

int output_errno() {
    if (g_queue == nullptr) {
        return EIO;
    }
    const std::lock_guard<std::mutex> guard(g_queue->lock);
    return g_queue->error != 0 ? g_queue->error : EIO;
}

OutputCounts output_counts() {
    if (g_queue == nullptr) {
        return {};
    }
    const std::lock_guard<std::mutex> guard(g_queue->lock);
    return g_queue->counts;
}

std::uint64_t printouts_not_shown() {
    if (g_queue == nullptr) {
        return 0;
    }
    const std::lock_guard<std::mutex> guard(g_queue->lock);
    return g_queue->not_shown;
}

}  // namespace console
