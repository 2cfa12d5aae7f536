#include "waiter.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <optional>

#include "settings.h"
#include "socket_support.h"
#include "udp_server_service.h"

namespace console {

namespace {

using Clock = std::chrono::steady_clock;

// In the background, a look at the terminal now and then, in case the
// program was brought back without the SIGCONT that normally says so.
constexpr auto kBackgroundLook = std::chrono::seconds(1);
// Standard input, up to two sockets, the signals' wake-up and the output.
constexpr std::size_t kMostWaited = 5;

// The time left until `when`, for ppoll(): to the nanosecond, so that a
// pause of 1 ms is never rounded up to 2.
timespec time_left(Clock::time_point when) {
    return net::timespec_of(std::max(when - Clock::now(), Clock::duration::zero()));
}

void sooner(std::optional<Clock::time_point>& wake, std::optional<Clock::time_point> when) {
    if (when) {
        wake = wake ? std::min(*wake, *when) : *when;
    }
}

}  // namespace

Waiter::Waiter(Output& output, UDP_Server_Service* service, bool input, bool terminal)
    : output_(output), service_(service), input_(input), terminal_(terminal) {}

bool Waiter::may_read() const {
    if (!input_ || !terminal_) {
        return input_;
    }
    // The program moves in or out of the foreground only by way of signals
    // (a stop, then SIGCONT), after which the place is asked again.
    if (!front_known_ || terminal::resumes() != front_resumes_) {
        front_resumes_ = terminal::resumes();
        front_ = terminal::foreground();
        front_known_ = true;
    }
    return front_;
}

Woken Waiter::wait() {
    const bool started_in_front = may_read();
    const unsigned resumes = terminal::resumes();
    bool look = false;  // the place on the terminal was just looked at
    bool in_front = started_in_front;
    for (;;) {
        // The one place output is written: what the last wake and the
        // console produced goes out together, as far as it is taken.
        output_.flush();
        if (output_.failed()) {
            return Woken::kOutputFailed;
        }
        if (terminal::ending_signal() != 0) {
            return Woken::kSignalled;
        }
        // The program moves between the terminal's foreground and background
        // only by way of signals (a stop, then SIGCONT), which wake this wait:
        // the place is looked at again after one, and now and then in the
        // background, not on every wake.
        if (look) {
            front_known_ = false;
            in_front = may_read();
            output_.look_at_terminal(in_front);
            look = false;
            output_.flush();
        }
        // Back in the same place after a stop is a move too: what the
        // terminal showed of the program may be gone.
        if (input_ && (in_front != started_in_front ||
                       (terminal_ && in_front && terminal::resumes() != resumes))) {
            return Woken::kTerminalMoved;
        }
        std::array<pollfd, kMostWaited> fds{};
        nfds_t count = 0;
        const auto add = [&fds, &count](int fd, short events) {
            fds.at(count) = {fd, events, 0};
            return static_cast<int>(count++);
        };
        // Standard input belongs to the foreground job: reading it from the
        // background would stop the program (SIGTTIN).
        const int input_at = in_front ? add(STDIN_FILENO, POLLIN) : -1;
        const std::size_t sockets = service_ != nullptr ? service_->sockets() : 0;
        const int sockets_at = static_cast<int>(count);
        for (std::size_t i = 0; i < sockets; ++i) {
            add(service_->descriptor(i), POLLIN);
        }
        // Woken by SIGCONT (fg or bg).
        const int wake_at =
            terminal::wake_descriptor() >= 0 ? add(terminal::wake_descriptor(), POLLIN) : -1;
        const int output_at =
            output_.blocked_descriptor() >= 0 ? add(output_.blocked_descriptor(), POLLOUT) : -1;
        // What the service must do later (an answer's pause, an incomplete
        // vector's window) ends the wait in time. Otherwise it has no limit.
        std::optional<Clock::time_point> wake;
        if (service_ != nullptr) {
            sooner(wake, service_->next_wake());
        }
        const bool background_look = input_ && !in_front;
        if (background_look) {
            sooner(wake, Clock::now() + kBackgroundLook);
        }
        sooner(wake, output_.next_look());
        if (count == 0) {
            return Woken::kInput;  // nothing to wait on: the caller's read ends it
        }
        timespec limit{};
        if (wake) {
            limit = time_left(*wake);
        }
        const int ready = ppoll(fds.data(), count, wake ? &limit : nullptr, nullptr);
        if (ready < 0) {
            if (errno == EINTR) {
                look = true;  // a signal, Ctrl-Z and fg among them
                continue;
            }
            wait_error_ = errno;
            return Woken::kWaitFailed;
        }
        if (wake_at >= 0 && fds.at(static_cast<std::size_t>(wake_at)).revents != 0) {
            terminal::clear_wake();
            look = true;
        }
        if (ready == 0 && (background_look || output_.next_look())) {
            look = true;  // the look now and then in the background
        }
        (void)output_at;  // a descriptor that takes more is written at the top
        // Every wake serves the socket: what has arrived, and what is due.
        if (service_ != nullptr) {
            std::uint32_t readable = 0;
            for (std::size_t i = 0; i < sockets; ++i) {
                if (fds.at(static_cast<std::size_t>(sockets_at) + i).revents != 0) {
                    readable |= 1U << i;
                }
            }
            if (service_->serve(readable) == 0) {
                output_.close_overlay();  // the program ends: the line stays off
                output_.flush();
                return Woken::kPeerQuit;
            }
        }
        if (input_at >= 0 && fds.at(static_cast<std::size_t>(input_at)).revents != 0) {
            output_.flush();
            return Woken::kInput;
        }
    }
}

Woken Waiter::wait_idle(int& waiting) {
    waiting = 0;
    output_.flush();  // what the last command printed, before the terminal changes
    // Canonical mode off while idle, so that a single key ends the wait.
    const bool changed = terminal::enter(terminal::Setting::kAnyKey, TCSANOW) == 0;
    const Woken woken = wait();
    if (woken == Woken::kInput && ioctl(STDIN_FILENO, FIONREAD, &waiting) != 0) {
        waiting = 0;
    }
    if (changed) {
        terminal::leave(TCSANOW);
    }
    return woken;
}

Woken Waiter::wait_key(int& key) {
    key = -1;
    // getch()'s settings: what is waiting is discarded, the detected key
    // with it, and the next key is read unechoed. The discarding is done
    // apart from the change, which then need not wait for output to drain.
    terminal::discard_input();
    if (terminal::enter(terminal::Setting::kOneKey, TCSANOW) != 0) {
        if (terminal::foreground()) {
            stop_reading_input();  // no terminal to read keys from any more
        }
        return Woken::kTerminalMoved;
    }
    const Woken woken = wait();
    if (woken == Woken::kInput) {
        unsigned char byte = 0;
        ssize_t got = 0;
        while ((got = read(STDIN_FILENO, &byte, 1)) < 0 && errno == EINTR) {
        }
        key = got == 1 ? byte : -1;
    }
    // Bytes that came with the key (a paste, an escape sequence) go too.
    terminal::discard_input();
    terminal::leave(TCSANOW);
    return woken;
}

LineRead read_line(Waiter& waiter, Line_Reader& reader, std::string& line) {
    for (;;) {
        if (reader.next(line)) {
            return LineRead::kLine;
        }
        if (!waiter.reads_input()) {
            return LineRead::kEnd;
        }
        switch (waiter.wait()) {
            case Woken::kPeerQuit:
                return LineRead::kPeerQuit;
            case Woken::kOutputFailed:
                return LineRead::kOutputFailed;
            case Woken::kWaitFailed:
                return LineRead::kWaitFailed;
            case Woken::kSignalled:
                return LineRead::kSignalled;
            case Woken::kTerminalMoved:
                continue;
            case Woken::kInput:
                break;
        }
        if (!waiter.may_read()) {
            continue;
        }
        if (!reader.fill()) {
            return reader.rest(line) ? LineRead::kLine : LineRead::kEnd;
        }
    }
}

}  // namespace console
