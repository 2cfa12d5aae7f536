// [3] The time from a key written to a terminal's master side to its echo,
// at lanlink's two prompts (now and before) beside cat on a cooked
// terminal, key by key in turn. [4] A pipe of send lines into the open
// prompt: how fast they all go out, in order.
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "cost.h"
#include "peer.h"
#include "process.h"
#include "report.h"
#include "responders.h"

namespace bench {
namespace {

using std::chrono::seconds;

struct EchoTarget {
    std::string name;
    std::unique_ptr<Child> child;
    std::vector<double> micros;
};

// Reads keys in raw mode and writes each back, until Ctrl-D.
int raw_echo() {
    termios settings{};
    tcgetattr(STDIN_FILENO, &settings);
    settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &settings);
    for (;;) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        char keys[64];
        if (poll(&p, 1, -1) < 0) {
            return 1;
        }
        const ssize_t n = read(STDIN_FILENO, keys, sizeof keys);
        if (n <= 0 || std::memchr(keys, 4, static_cast<std::size_t>(n)) != nullptr) {
            return 0;
        }
        if (write(STDOUT_FILENO, keys, static_cast<std::size_t>(n)) != n) {
            return 1;
        }
    }
}

}  // namespace

void key_echo_beside_cat(const CostOptions& o) {
    say("\n[3] key to its echo, %d keys each, key by key in turn: the classic prompt (a key and "
        "Enter open it), the open prompt (-p), cat on a cooked terminal and a C program that "
        "echoes each key itself in raw mode, in a shuffled order each round\n",
        o.echo_keys);
    std::vector<EchoTarget> targets;
    std::vector<std::string> binaries = {o.now};
    if (!o.before.empty()) {
        binaries.push_back(o.before);
    }
    for (const std::string& binary : binaries) {
        for (const bool open : {false, true}) {
            const std::uint16_t port = testsupport::free_udp_port();
            std::vector<std::string> argv = {binary};
            if (open) {
                argv.emplace_back("-p");
            }
            argv.insert(argv.end(), {"127.0.0.1", "9", std::to_string(port)});
            auto child = std::make_unique<Child>(argv, Input::kTerminal);
            bool ready = child->wait_for("[Y/n] ", seconds(10));
            if (ready) {
                child->write("y\n");
                ready = child->wait_for("recieving packets...Success!", seconds(10));
            }
            if (ready) {
                ready =
                    open ? child->wait_for("$ ", seconds(10)) : testsupport::open_prompt(*child);
            }
            const std::string name =
                binary_name(binary) + (open ? ", open prompt" : ", classic prompt");
            if (!ready) {
                oddity(name + ": the prompt did not open");
                continue;
            }
            targets.push_back({name, std::move(child), {}});
        }
    }
    auto cat = std::make_unique<Child>(std::vector<std::string>{"/bin/cat"}, Input::kTerminal);
    targets.push_back({"cat (cooked terminal)", std::move(cat), {}});
    // The floor for any program that draws its own line: woken by each key,
    // it reads the key and writes it back, as a line editor must at least.
    auto raw = std::make_unique<Child>(raw_echo, Input::kTerminal);
    targets.push_back({"C raw-mode echo", std::move(raw), {}});
    std::this_thread::sleep_for(milliseconds(200));
    const std::size_t k = targets.size();
    // Each round visits the targets in a new order, so that none is always
    // measured right after the same other one (after cat, whose echo wakes
    // no program, a key meets idler processors).
    std::vector<std::size_t> order(k);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::mt19937 shuffler(20261208U);
    for (int i = 0; i < o.echo_keys; ++i) {
        const char key = static_cast<char>('a' + i % 26);
        std::shuffle(order.begin(), order.end(), shuffler);
        for (const std::size_t n : order) {
            EchoTarget& t = targets[n];
            t.child->take();
            const auto t0 = Clock::now();
            t.child->write(std::string(1, key));
            if (t.child->wait_for(std::string(1, key), milliseconds(1000))) {
                t.micros.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            }
            std::this_thread::sleep_for(milliseconds(2));
        }
    }
    const double cat_median = median(targets[k - 2].micros);
    for (EchoTarget& t : targets) {
        say("  %-32s %s us (min/median/max), p90 %.0f us, %zu of %d echoed; median/cat's %.2f\n",
            t.name.c_str(), spread(t.micros, "%.0f").c_str(), percentile(t.micros, 0.9),
            t.micros.size(), o.echo_keys, cat_median > 0 ? median(t.micros) / cat_median : 0.0);
        if (t.micros.size() < static_cast<std::size_t>(o.echo_keys)) {
            oddity(t.name + ": " + std::to_string(o.echo_keys - static_cast<int>(t.micros.size())) +
                   " keys not echoed within 1 s");
        }
        if (t.name.rfind("cat", 0) == 0 || t.name.rfind("C raw", 0) == 0) {
            t.child->write("\x15\x04");  // Ctrl-U, then the end of input
        } else {
            t.child->write(
                "\x15"
                "exit\n");
        }
    }
    for (EchoTarget& t : targets) {
        t.child->wait_exit(milliseconds(3000));
    }
    std::map<std::string, std::string> cell;
    for (const EchoTarget& t : targets) {
        cell[t.name] = spread(t.micros, "%.0f") + " us";
    }
    for (const char* prompt : {", classic prompt", ", open prompt"}) {
        figure("3", std::string("key echo") + prompt, cell[std::string("lanlink now") + prompt],
               o.before.empty() ? "-" : cell[std::string("lanlink before") + prompt]);
    }
    figure("3", "key echo, cat on a cooked terminal", cell["cat (cooked terminal)"], "(same run)");
    figure("3", "key echo, C raw-mode echo", cell["C raw-mode echo"], "(same run)");
}

void piped_sends(const CostOptions& o) {
    say("\n[4] %d 'send mN' lines piped into lanlink -y -p: from the first line written to the "
        "last datagram received, %d runs, now, before and the socket's own rate (a C sender: "
        "one sendmmsg() of the same three datagrams and a stdio line a send) in turn\n",
        o.pipe_lines, o.pipe_runs);
    const std::string socket_rate = "socket sender";
    std::vector<std::string> senders = {o.now};
    if (!o.before.empty()) {
        senders.push_back(o.before);
    }
    senders.push_back(socket_rate);
    std::string text;
    for (int i = 0; i < o.pipe_lines; ++i) {
        text += "send m" + std::to_string(i) + "\n";
    }
    struct Runs {
        std::vector<double> seconds;
        std::vector<double> cpu_us;
        int all_in_order = 0;
        int status_zero = 0;
    };
    std::map<std::string, Runs> runs;
    const auto name_of = [&](const std::string& sender) {
        return sender == socket_rate ? sender : binary_name(sender);
    };
    for (int run = 0; run < o.pipe_runs; ++run) {
        for (std::size_t b = 0; b < senders.size(); ++b) {
            const std::string& sender =
                senders[(b + static_cast<std::size_t>(run)) % senders.size()];
            const LoopbackUdp other;
            const std::uint16_t port = testsupport::free_udp_port();
            const std::uint16_t to = other.port();
            std::unique_ptr<Child> child;
            if (sender == socket_rate) {
                child = std::make_unique<Child>([to, port] { return socket_sender(to, port); },
                                                Input::kPipe);
            } else {
                child = std::make_unique<Child>(
                    std::vector<std::string>{sender, "-y", "-p", "127.0.0.1", std::to_string(to),
                                             std::to_string(port)},
                    Input::kPipe);
            }
            if (!child->wait_for(sender == socket_rate ? "ready" : "recieving packets...Success!",
                                 seconds(10))) {
                oddity(name_of(sender) + " from a pipe did not start");
                continue;
            }
            const double cpu_before = cpu_seconds(child->pid());
            const auto t0 = Clock::now();
            std::thread typing([&child, &text] {
                child->write(text);
                child->close_input();
            });
            // The datagrams are read in batches, so that the reading is never
            // what sets the pace.
            constexpr unsigned kBatch = 256;
            static std::array<std::array<char, 600>, kBatch> bytes{};
            std::array<iovec, kBatch> parts{};
            std::array<mmsghdr, kBatch> messages{};
            int in_order = 0;
            int got = 0;
            auto last = t0;
            while (got < 3 * o.pipe_lines) {
                pollfd p{other.descriptor(), POLLIN, 0};
                if (poll(&p, 1, 3000) <= 0) {
                    break;
                }
                for (unsigned i = 0; i < kBatch; ++i) {
                    parts.at(i) = {bytes.at(i).data(), bytes.at(i).size()};
                    messages.at(i) = {};
                    messages.at(i).msg_hdr.msg_iov = &parts.at(i);
                    messages.at(i).msg_hdr.msg_iovlen = 1;
                }
                const int n =
                    recvmmsg(other.descriptor(), messages.data(), kBatch, MSG_DONTWAIT, nullptr);
                if (n <= 0) {
                    continue;
                }
                last = Clock::now();
                for (int i = 0; i < n; ++i, ++got) {
                    const std::string_view d(bytes.at(static_cast<std::size_t>(i)).data(),
                                             messages.at(static_cast<std::size_t>(i)).msg_len);
                    if (got % 3 == 2 && d == z("m" + std::to_string(got / 3))) {
                        ++in_order;
                    }
                }
                child->drain();
            }
            const double cpu = cpu_seconds(child->pid()) - cpu_before;
            typing.join();
            const int status = testsupport::exit_code(child->wait_exit(milliseconds(10000)));
            const long dropped =
                static_cast<long>(testsupport::kernel_drops(other.port()).value_or(0));
            Runs& r = runs[sender];
            r.seconds.push_back(std::chrono::duration<double>(last - t0).count());
            r.cpu_us.push_back(cpu * 1e6 / o.pipe_lines);
            r.all_in_order += in_order == o.pipe_lines ? 1 : 0;
            r.status_zero += status == 0 ? 1 : 0;
            if (in_order != o.pipe_lines || status != 0) {
                oddity(name_of(sender) + ": a pipe of " + std::to_string(o.pipe_lines) +
                       " send lines: " + std::to_string(in_order) + " in order, " +
                       std::to_string(got) + " datagrams, " + std::to_string(dropped) +
                       " dropped at the receiver, status " + std::to_string(status));
            }
        }
    }
    for (const std::string& sender : senders) {
        const Runs& r = runs[sender];
        say("  %-15s %s s to the last datagram (%.0f sends/s at the median), CPU %s us per send; "
            "all in order in %d of %zu runs, status 0 in %d\n",
            name_of(sender).c_str(), spread(r.seconds, "%.3f").c_str(),
            median(r.seconds) > 0 ? o.pipe_lines / median(r.seconds) : 0.0,
            spread(r.cpu_us, "%.1f").c_str(), r.all_in_order, r.seconds.size(), r.status_zero);
    }
    const Runs& floor = runs[socket_rate];
    for (const std::string& sender : {o.now, o.before}) {
        if (!sender.empty() && !runs[sender].seconds.empty() && !floor.seconds.empty()) {
            say("  %-15s %.2fx the socket sender's time, %.2fx its CPU (medians)\n",
                name_of(sender).c_str(), median(runs[sender].seconds) / median(floor.seconds),
                median(runs[sender].cpu_us) / median(floor.cpu_us));
        }
    }
    const auto cell = [&](const std::string& sender, int what) -> std::string {
        if (sender.empty()) {
            return "-";
        }
        const Runs& r = runs[sender];
        if (what == 0) {
            return spread(r.seconds, "%.3f") + " s";
        }
        if (what == 1) {
            return spread(r.cpu_us, "%.1f") + " us";
        }
        return std::to_string(r.all_in_order) + " of " + std::to_string(r.seconds.size()) +
               " runs all in order, status 0";
    };
    figure("4", std::to_string(o.pipe_lines) + " piped sends: to the last datagram", cell(o.now, 0),
           cell(o.before, 0));
    figure("4", "piped sends: CPU per send", cell(o.now, 1), cell(o.before, 1));
    figure("4", "piped sends: complete", cell(o.now, 2), cell(o.before, 2));
    figure("4", "piped sends: the socket sender, to the last datagram", cell(socket_rate, 0),
           "(same run)");
}

}  // namespace bench
