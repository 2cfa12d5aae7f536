#include "output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>

#include "settings.h"

namespace console {

namespace {

// What waits to be written is bounded: about 17,000 printouts of short
// vectors. Notices and count lines have a little room beyond it.
constexpr std::size_t kBound = std::size_t{1024} * 1024;
constexpr std::size_t kNoticeBound = kBound + std::size_t{64} * 1024;
// Texts are joined into pieces of about this size, each one write().
constexpr std::size_t kPiece = std::size_t{64} * 1024;
// Written without a descriptor of the program's own, a piece goes in parts
// that a pipe said it has room for.
constexpr std::size_t kCheckedPart = PIPE_BUF;
// At the end, the queue is written as long as the reader keeps taking it,
// but a terminal that takes nothing for this long is given up on, and so is
// the rest after the longer limit.
constexpr auto kStall = std::chrono::seconds(2);
constexpr auto kFinishLimit = std::chrono::seconds(10);
constexpr int kFinishPollMs = 50;
// Output held for the foreground is looked at again this often.
constexpr auto kForegroundLook = std::chrono::milliseconds(200);

bool printed_by_network(Kind kind) {
    return kind == Kind::kPrintout || kind == Kind::kNotice || kind == Kind::kAnnouncement;
}

}  // namespace

Output::Output() {
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        Target& target = targets_.at(static_cast<std::size_t>(fd));
        target.fd = fd;
        target.terminal = isatty(fd) == 1;
        struct stat found {};
        if (fstat(fd, &found) != 0 || S_ISREG(found.st_mode)) {
            continue;  // a file never makes a writer wait
        }
        struct stat null {};
        if (S_ISCHR(found.st_mode) && stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode) &&
            found.st_rdev == null.st_rdev) {
            target.null = true;  // nothing to write, and nothing to wait for
            continue;
        }
        if (S_ISSOCK(found.st_mode)) {
            target.socket = true;
            continue;
        }
        // A pipe or a terminal is written through an open file description
        // of the program's own, non-blocking, so that the one shared with
        // the shell keeps its flags.
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        const int own = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (own >= 0) {
            target.fd = own;
            target.own = true;
        } else {
            target.checked = true;
        }
    }
    struct stat input {};
    struct stat output {};
    output_is_input_ = targets_.at(1).terminal && isatty(STDIN_FILENO) == 1 &&
                       fstat(STDIN_FILENO, &input) == 0 && fstat(STDOUT_FILENO, &output) == 0 &&
                       input.st_rdev == output.st_rdev;
    look_at_terminal();
}

Output::~Output() {
    finish();
    for (const Target& target : targets_) {
        if (target.own) {
            close(target.fd);
        }
    }
}

void Output::append(std::deque<Piece>& to, int fd, bool above, std::string_view text,
                    bool printout) {
    if (text.empty()) {
        return;
    }
    if (to.empty() || to.back().fd != fd || to.back().above != above || to.back().looked_at ||
        (to.back().printouts > 0) != printout || to.back().bytes.size() >= kPiece) {
        to.push_back(Piece{fd, above, std::string(), 0, 0, false, 0});
    }
    to.back().bytes.append(text);
    ++to.back().puts;
    to.back().printouts += printout ? 1 : 0;
    bytes_ += text.size();
}

void Output::tell_untold(std::deque<Piece>& to) {
    if (untold_ == 0) {
        return;
    }
    std::string line;
    if (untold_line_ != nullptr) {
        line = untold_line_(untold_, untold_while_typing_);
    } else {
        line = std::to_string(untold_);
        line += untold_ == 1 ? " vector" : " vectors";
        line += untold_while_typing_ ? " not shown (too many arrived while a line was typed)\n"
                                     : " not shown (standard output was not being read)\n";
    }
    untold_ = 0;
    untold_while_typing_ = false;
    append(to, STDOUT_FILENO, true, line);
}

bool Output::put(int fd, std::string_view text, Kind kind) {
    if (failed_.at(static_cast<std::size_t>(fd)) || discards(fd)) {
        return true;  // what went wrong stays wrong: nothing more is written there
    }
    const std::size_t bound = kind == Kind::kPrintout ? kBound
                              : kind == Kind::kNotice ? kNoticeBound
                                                      : SIZE_MAX;
    if (bound != SIZE_MAX && bytes_ + text.size() > bound) {
        if (kind == Kind::kPrintout) {
            ++untold_;
            ++not_shown_;
            untold_while_typing_ = untold_while_typing_ || holding_;
        }
        return false;
    }
    std::deque<Piece>& to = holding_ && printed_by_network(kind) ? held_ : ready_;
    if (printed_by_network(kind)) {
        tell_untold(to);  // the count of what was not shown came before this
    }
    append(to, fd, printed_by_network(kind), text, kind == Kind::kPrintout);
    return true;
}

bool Output::held_for_foreground(int fd) const {
    termios settings{};
    const Target& target = targets_.at(static_cast<std::size_t>(fd));
    return !insisting_ && target.terminal && !in_front_ && !terminal::foreground(fd) &&
           tcgetattr(fd, &settings) == 0 && (settings.c_lflag & TOSTOP) != 0;
}

void Output::wrap_for_overlay() {
    if (overlay_ == nullptr || !overlay_->shown() || ready_.empty() || ready_.front().done > 0 ||
        ready_.front().fd != STDOUT_FILENO || !ready_.front().above) {
        return;
    }
    // The network's texts for the terminal go above the line, in one piece
    // with the bytes that hide and show it.
    const std::string hide = overlay_->hide();
    Piece wrapped{STDOUT_FILENO, false, hide, 0, 0, false, 0};
    while (!ready_.empty() && ready_.front().fd == STDOUT_FILENO && ready_.front().above) {
        wrapped.bytes += ready_.front().bytes;
        wrapped.puts += ready_.front().puts;
        wrapped.printouts += ready_.front().printouts;
        wrapped.looked_at = wrapped.looked_at || ready_.front().looked_at;
        ready_.pop_front();
    }
    const std::string show = overlay_->show();
    wrapped.bytes += show;
    bytes_ += hide.size() + show.size();
    ready_.push_front(std::move(wrapped));
}

void Output::set_overlay(Overlay* overlay) {
    // What waits already came before the line: it goes out as it is.
    for (Piece& piece : ready_) {
        piece.above = false;
    }
    overlay_ = overlay;
}

void Output::close_overlay() {
    if (overlay_ == nullptr) {
        return;
    }
    if (overlay_->shown()) {
        auto at = ready_.begin();
        while (at != ready_.end() && (at->fd != STDOUT_FILENO || !at->above || at->done > 0)) {
            ++at;
        }
        const std::string hide = overlay_->hide();
        bytes_ += hide.size();
        ready_.insert(at, Piece{STDOUT_FILENO, false, hide, 0, 0, false, 0});
    }
    overlay_ = nullptr;
}

bool Output::write_front() {
    Piece& piece = ready_.front();
    Target& target = targets_.at(static_cast<std::size_t>(piece.fd));
    while (piece.done < piece.bytes.size()) {
        const char* from = piece.bytes.data() + piece.done;
        std::size_t size = piece.bytes.size() - piece.done;
        if (target.checked) {
            pollfd room{target.fd, POLLOUT, 0};
            if (poll(&room, 1, 0) <= 0 || (room.revents & POLLOUT) == 0) {
                return false;
            }
            size = std::min(size, kCheckedPart);
        }
        const ssize_t n = target.socket ? send(target.fd, from, size, MSG_DONTWAIT | MSG_NOSIGNAL)
                                        : write(target.fd, from, size);
        if (n > 0) {
            piece.done += static_cast<std::size_t>(n);
            bytes_ -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return false;
        }
        // An error: nothing more is written to this descriptor.
        failed_.at(static_cast<std::size_t>(piece.fd)) = true;
        if (piece.fd == STDOUT_FILENO && error_ == 0) {
            error_ = n == 0 ? EIO : errno;
        }
        for (auto it = ready_.begin(); it != ready_.end();) {
            if (it->fd == piece.fd) {
                bytes_ -= it->bytes.size() - it->done;
                it = ready_.erase(it);
            } else {
                ++it;
            }
        }
        return true;  // the queue went on without it
    }
    ready_.pop_front();
    return true;
}

void Output::count_looked_at() {
    // What was in the queue during its first flush and is still there was
    // not written at once.
    for (Piece& piece : ready_) {
        if (!piece.looked_at) {
            piece.looked_at = true;
            counts_.queued += piece.puts;
        }
    }
}

void Output::flush() {
    held_fg_ = false;
    std::uint64_t written_puts = 0;
    while (!ready_.empty()) {
        wrap_for_overlay();
        const Piece& front = ready_.front();
        if (held_for_foreground(front.fd)) {
            held_fg_ = true;
            break;
        }
        const bool first_look = !front.looked_at;
        const std::uint64_t puts = front.puts;
        if (!write_front()) {
            break;
        }
        if (first_look) {
            written_puts += puts;
        }
        // Output flows again: the count of what did not fit comes now.
        if (!holding_ && untold_ > 0 && bytes_ < kBound) {
            tell_untold(ready_);
        }
    }
    counts_.written_at_once += written_puts;
    count_looked_at();
}

int Output::blocked_descriptor() const {
    if (ready_.empty() || held_fg_ || given_up_) {
        return -1;
    }
    return targets_.at(static_cast<std::size_t>(ready_.front().fd)).fd;
}

std::optional<Output::Clock::time_point> Output::next_look() const {
    if (!held_fg_) {
        return std::nullopt;
    }
    return Clock::now() + kForegroundLook;
}

void Output::hold() {
    holding_ = true;
}

void Output::release(std::string_view prefix) {
    append(ready_, STDOUT_FILENO, true, prefix);
    for (Piece& piece : held_) {
        ready_.push_back(std::move(piece));
    }
    held_.clear();
    holding_ = false;
    tell_untold(ready_);
}

void Output::look_at_terminal(std::optional<bool> input_in_front) {
    if (!targets_.at(1).terminal && !targets_.at(2).terminal) {
        in_front_ = true;
    } else if (input_in_front && output_is_input_) {
        in_front_ = *input_in_front;  // one terminal: one answer
    } else {
        in_front_ = terminal::foreground(targets_.at(1).terminal ? STDOUT_FILENO : STDERR_FILENO);
    }
}

void Output::end_in_background() {
    std::uint64_t printouts = 0;
    for (auto it = ready_.begin(); it != ready_.end();) {
        if (it->printouts > 0 && it->done == 0) {
            printouts += it->printouts;
            bytes_ -= it->bytes.size();
            it = ready_.erase(it);
        } else {
            ++it;
        }
    }
    if (printouts > 0) {
        const std::string line = std::to_string(printouts) +
                                 (printouts == 1 ? " printout" : " printouts") +
                                 " not shown: the program was in the background\n";
        ready_.push_front(Piece{STDERR_FILENO, false, line, 0, 1, true, 0});
        bytes_ += line.size();
    }
    // With SIGTTOU held off a background write goes through: the count and
    // the last lines are all the program insists on.
    sigset_t stop_output;
    sigset_t before;
    sigemptyset(&stop_output);
    sigaddset(&stop_output, SIGTTOU);
    sigprocmask(SIG_BLOCK, &stop_output, &before);
    insisting_ = true;
    flush();
    insisting_ = false;
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

void Output::tell_printouts_left() {
    std::uint64_t printouts = 0;
    for (const Piece& piece : ready_) {
        printouts += piece.fd == STDOUT_FILENO && piece.done == 0 ? piece.printouts : 0;
    }
    if (printouts == 0 || failed_.at(2)) {
        return;
    }
    const std::string line = std::to_string(printouts) +
                             (printouts == 1 ? " printout" : " printouts") +
                             " not shown: standard output was not being read\n";
    const Target& err = targets_.at(2);
    (void)!(err.socket ? send(err.fd, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                       : write(err.fd, line.data(), line.size()));
}

void Output::finish() {
    if (holding_) {
        release();
    }
    const auto start = Clock::now();
    auto last_progress = start;
    while (!given_up_) {
        const std::size_t before = bytes_;
        look_at_terminal();
        flush();
        if (ready_.empty()) {
            return;
        }
        const auto now = Clock::now();
        if (bytes_ != before) {
            last_progress = now;
        }
        if (now - last_progress >= kStall || now - start >= kFinishLimit) {
            given_up_ = true;  // once: the end does not wait for it twice
            if (held_fg_) {
                end_in_background();
            } else {
                tell_printouts_left();
            }
            return;
        }
        pollfd room{blocked_descriptor(), POLLOUT, 0};
        if (room.fd >= 0) {
            poll(&room, 1, kFinishPollMs);
        } else {
            poll(nullptr, 0, kFinishPollMs);
        }
    }
}

}  // namespace console
