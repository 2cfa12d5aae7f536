#include "waiter.h"

#include <poll.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "udp_server_service.h"

namespace console {

namespace {

// Room for everything held while a line is typed: about 17,000 vectors of
// short texts. When it is nearly full, the socket is left to queue in the
// kernel until the line has been read, so memory never grows with a flood.
constexpr std::size_t kOutputBuffer = std::size_t{1024} * 1024;
// One vector's printout is at most a few kilobytes (512-byte texts shown
// four bytes for one), so holding stops well before the buffer must be written.
constexpr std::size_t kHoldLimit = kOutputBuffer - std::size_t{64} * 1024;
constexpr std::size_t kLongestLine = std::size_t{64} * 1024;
// Vectors served in a row before the wait looks again at the keyboard.
constexpr int kKeyRun = 16;
constexpr int kHeadlessRun = 64;

char g_output_buffer[kOutputBuffer];
int g_output_errno = 0;

bool room_to_hold() {
    return __fpending(stdout) < kHoldLimit;
}

}  // namespace

Waiter::Waiter(UDP_Server_Service* service, bool input) : service_(service), input_(input) {}

Woken Waiter::wait(Waiting what) {
    for (;;) {
        pollfd fds[2] = {};
        nfds_t count = 0;
        int input_at = -1;
        int socket_at = -1;
        if (input_) {
            input_at = static_cast<int>(count);
            fds[count++] = {STDIN_FILENO, POLLIN, 0};
        }
        if (service_ != nullptr && (what == Waiting::kKey || room_to_hold())) {
            socket_at = static_cast<int>(count);
            fds[count++] = {service_->receive_descriptor(), POLLIN, 0};
        }
        if (count == 0) {
            return Woken::kInput;  // nothing to wait on: the caller's read ends it
        }
        int ready = poll(fds, count, 0);
        if (ready == 0) {
            // About to block: what has been printed goes out first, unless a
            // line is being typed on the terminal.
            if (what == Waiting::kKey && !flush_output()) {
                return Woken::kOutputFailed;
            }
            // An incomplete vector is given up when its time is up: the
            // wait ends then. With none, the wait has no time limit.
            const int timeout = service_ != nullptr ? service_->wait_timeout_ms() : -1;
            ready = poll(fds, count, timeout);
        }
        if (ready < 0) {
            if (errno == EINTR) {
                continue;  // a signal, Ctrl-Z and fg among them
            }
            std::perror("lanlink: poll");
            return Woken::kStop;
        }
        const bool input_ready = input_at >= 0 && fds[input_at].revents != 0;
        const bool expired = service_ != nullptr && service_->wait_timeout_ms() == 0;
        if (socket_at >= 0 && (fds[socket_at].revents != 0 || expired)) {
            // A burst is served in runs, checking the keyboard between runs;
            // a line being typed is served one vector at a time, so that what
            // is held never outgrows its room.
            const int run = what == Waiting::kLine ? 1 : input_ ? kKeyRun : kHeadlessRun;
            if (service_->serve_arrivals(run) == 0) {
                return Woken::kStop;
            }
        }
        if (input_ready) {
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
        const Woken woken = waiter.wait(Waiting::kLine);
        if (woken == Woken::kStop) {
            return LineRead::kStop;
        }
        if (woken == Woken::kOutputFailed) {
            return LineRead::kOutputFailed;
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

void buffer_output() {
    std::setvbuf(stdout, g_output_buffer, _IOFBF, sizeof g_output_buffer);
}

bool flush_output() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        if (g_output_errno == 0) {
            g_output_errno = errno != 0 ? errno : EIO;
        }
        return false;
    }
    return true;
}

int output_errno() {
    return g_output_errno;
}

}  // namespace console
