#include "waiter.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "keyboard.h"
#include "output.h"
#include "udp_server_service.h"

namespace console {

namespace {

constexpr std::size_t kLongestLine = std::size_t{64} * 1024;
// Vectors served in a row before the wait looks again at the keyboard.
constexpr int kKeyRun = 16;
constexpr int kHeadlessRun = 64;
// In the background, a look at the terminal now and then, in case the
// program was brought back without the SIGCONT that normally says so.
constexpr int kBackgroundLookMs = 1000;

}  // namespace

Waiter::Waiter(UDP_Server_Service* service, bool input, bool terminal)
    : service_(service), input_(input), terminal_(terminal) {}

bool Waiter::may_read() const {
    return input_ && (!terminal_ || terminal::foreground());
}

Woken Waiter::wait() {
    const bool started_in_front = may_read();
    for (;;) {
        if (output_failed()) {
            return Woken::kOutputFailed;
        }
        const bool in_front = may_read();
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
        // An incomplete vector is given up when its time is up: the wait
        // ends then. With none, the wait has no time limit.
        int timeout = service_ != nullptr ? service_->wait_timeout_ms() : -1;
        if (input_ && !in_front) {
            timeout = timeout < 0 ? kBackgroundLookMs : std::min(timeout, kBackgroundLookMs);
        }
        if (count == 0) {
            return Woken::kInput;  // nothing to wait on: the caller's read ends it
        }
        const int ready = poll(fds, count, timeout);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;  // a signal, Ctrl-Z and fg among them
            }
            std::perror("lanlink: poll");
            return Woken::kStop;
        }
        if (wake_at >= 0 && fds[wake_at].revents != 0) {
            clear_wake();
        }
        const bool expired = service_ != nullptr && service_->wait_timeout_ms() == 0;
        if (socket_at >= 0 && (fds[socket_at].revents != 0 || expired)) {
            // A burst is served in runs, checking the keyboard between runs.
            if (service_->serve_arrivals(input_ ? kKeyRun : kHeadlessRun) == 0) {
                return Woken::kStop;
            }
        }
        if (input_at >= 0 && fds[input_at].revents != 0) {
            return Woken::kInput;
        }
    }
}

LineRead read_line(Waiter& waiter, std::string& line) {
    line.clear();
    for (;;) {
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
        char chunk[4096];
        const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0) {
            return line.empty() ? LineRead::kEnd : LineRead::kLine;
        }
        const auto size = static_cast<std::size_t>(got);
        const auto* end = static_cast<const char*>(std::memchr(chunk, '\n', size));
        const std::size_t text = end != nullptr ? static_cast<std::size_t>(end - chunk) : size;
        line.append(chunk, std::min(text, kLongestLine - std::min(kLongestLine, line.size())));
        if (end != nullptr) {
            return LineRead::kLine;
        }
    }
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
