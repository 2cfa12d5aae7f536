#include "waiter.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>

#include "keyboard.h"
#include "line_editor.h"
#include "output.h"
#include "socket_support.h"
#include "udp_server_service.h"

namespace console {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kLongestLine = std::size_t{64} * 1024;
// In the background, a look at the terminal now and then, in case the
// program was brought back without the SIGCONT that normally says so.
constexpr auto kBackgroundLook = std::chrono::seconds(1);

// The time left until `when`, for ppoll(): to the nanosecond, so that a
// pause of 1 ms is never rounded up to 2.
timespec time_left(Clock::time_point when) {
    return net::timespec_of(std::max(when - Clock::now(), Clock::duration::zero()));
}

}  // namespace

Waiter::Waiter(UDP_Server_Service* service, bool input, bool terminal)
    : service_(service), input_(input), terminal_(terminal) {}

bool Waiter::may_read() const {
    return input_ && (!terminal_ || terminal::foreground());
}

Woken Waiter::wait() {
    const bool started_in_front = may_read();
    bool look = false;  // the place on the terminal was just looked at
    bool in_front = started_in_front;
    for (;;) {
        if (output_failed()) {
            return Woken::kOutputFailed;
        }
        // The program moves between the terminal's foreground and background
        // only by way of signals (a stop, then SIGCONT), which wake this wait:
        // the place is looked at again after one, and now and then in the
        // background, not on every wake.
        if (look) {
            in_front = may_read();
            look_at_terminal(in_front);
            look = false;
        }
        if (input_ && in_front != started_in_front) {
            return Woken::kTerminalMoved;
        }
        pollfd fds[3] = {};
        nfds_t count = 0;
        int input_at = -1;
        int socket_at = -1;
        int wake_at = -1;
        // Standard input belongs to the foreground job: reading it from the
        // background would stop the program (SIGTTIN).
        if (in_front) {
            input_at = static_cast<int>(count);
            fds[count++] = {STDIN_FILENO, POLLIN, 0};
        }
        if (service_ != nullptr) {
            socket_at = static_cast<int>(count);
            fds[count++] = {service_->receive_descriptor(), POLLIN, 0};
        }
        if (wake_descriptor() >= 0) {
            // Woken by the writer (an error) or by SIGCONT (fg or bg).
            wake_at = static_cast<int>(count);
            fds[count++] = {wake_descriptor(), POLLIN, 0};
        }
        // What the service must do later (an answer's pause, an incomplete
        // vector's window) ends the wait in time. Otherwise it has no limit.
        std::optional<Clock::time_point> wake;
        if (service_ != nullptr) {
            wake = service_->next_wake();
        }
        if (input_ && !in_front) {
            const auto look = Clock::now() + kBackgroundLook;
            wake = wake ? std::min(*wake, look) : look;
        }
        if (count == 0) {
            return Woken::kInput;  // nothing to wait on: the caller's read ends it
        }
        timespec limit{};
        if (wake) {
            limit = time_left(*wake);
        }
        const int ready = ppoll(fds, count, wake ? &limit : nullptr, nullptr);
        if (ready < 0) {
            if (errno == EINTR) {
                look = true;  // a signal, Ctrl-Z and fg among them
                continue;
            }
            std::perror("lanlink: poll");
            return Woken::kStop;
        }
        if (wake_at >= 0 && fds[wake_at].revents != 0) {
            clear_wake();
            look = true;
        }
        if (input_ && !in_front && ready == 0) {
            look = true;  // the look now and then in the background
        }
        // Every wake serves the socket: what has arrived, and what is due.
        // Its printouts go out together, with one write where they can.
        if (socket_at >= 0) {
            // Around a line being edited, everything for the terminal is
            // gathered, to go above the line.
            const bool around = editor_ != nullptr && in_front && editor_->shown();
            gather(around);
            const int served = service_->serve(fds[socket_at].revents != 0);
            if (around && has_gathered()) {
                const std::string hide = editor_->hide();
                // After a "quit" the line stays off: the program ends.
                write_gathered(hide, served == 0 ? std::string() : editor_->show());
            } else {
                write_gathered();
            }
            if (served == 0) {
                return Woken::kStop;
            }
        }
        if (input_at >= 0 && fds[input_at].revents != 0) {
            return Woken::kInput;
        }
    }
}

LineRead read_line(Waiter& waiter, Line_Reader& reader, std::string& line) {
    for (;;) {
        if (reader.next(line)) {
            return LineRead::kLine;
        }
        if (!waiter.reads_input()) {
            return LineRead::kEnd;
        }
        const Woken woken = waiter.wait();
        if (woken == Woken::kStop) {
            return LineRead::kStop;
        }
        if (woken == Woken::kOutputFailed) {
            return LineRead::kOutputFailed;
        }
        if (woken == Woken::kTerminalMoved || !waiter.may_read()) {
            continue;
        }
        if (!reader.fill()) {
            return reader.rest(line) ? LineRead::kLine : LineRead::kEnd;
        }
    }
}

bool Line_Reader::fill() {
    char chunk[4096];
    ssize_t got = 0;
    while ((got = read(STDIN_FILENO, chunk, sizeof chunk)) < 0 && errno == EINTR) {
    }
    if (got < 0 && errno == EAGAIN) {
        return true;
    }
    if (got <= 0) {
        return false;
    }
    for (const char c : std::string_view(chunk, static_cast<std::size_t>(got))) {
        if (c == '\n') {
            buffer_ += c;
            unfinished_ = 0;
        } else if (unfinished_ < kLongestLine) {
            buffer_ += c;
            ++unfinished_;
        }
    }
    return true;
}

bool Line_Reader::next(std::string& line) {
    const std::size_t end = buffer_.find('\n');
    if (end == std::string::npos) {
        return false;
    }
    line.assign(buffer_, 0, end);
    buffer_.erase(0, end + 1);
    return true;
}

bool Line_Reader::rest(std::string& line) {
    if (buffer_.empty()) {
        return false;
    }
    line = std::move(buffer_);
    buffer_.clear();
    return true;
}

std::vector<std::string> words_of(std::string_view line) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && std::isspace(static_cast<unsigned char>(line[at])) != 0) {
            ++at;
        }
        if (at == line.size()) {
            break;
        }
        const std::size_t start = at;
        while (at < line.size() && std::isspace(static_cast<unsigned char>(line[at])) == 0) {
            ++at;
        }
        const std::string_view word = line.substr(start, at - start);
        words.emplace_back(word.substr(0, word.find('\0')));
    }
    return words;
}

std::string rest_of_line(std::string_view line, std::size_t skip) {
    line = line.substr(0, line.find('\0'));
    const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    std::size_t at = 0;
    for (std::size_t word = 0; word <= skip; ++word) {
        while (at < line.size() && blank(line[at])) {
            ++at;
        }
        if (word == skip) {
            break;
        }
        while (at < line.size() && !blank(line[at])) {
            ++at;
        }
    }
    std::size_t end = line.size();
    while (end > at && blank(line[end - 1])) {
        --end;
    }
    return std::string(line.substr(at, end - at));
}

}  // namespace console
