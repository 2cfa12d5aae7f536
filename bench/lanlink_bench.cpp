// Measures a running lanlink on loopback: idle CPU, update round trip, bursts,
// paced vectors, Enter-to-prompt latency and peak memory. It binds
// 127.0.0.1:4556 to collect answers, so nothing else may hold that port.
//
//   lanlink_bench [idle_seconds]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "udp.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testsupport::Child;
using testsupport::Input;
using testsupport::LoopbackUdp;
using testsupport::z;

constexpr std::uint16_t kAnswerPort = 4556;

// CPU time of the (single-threaded) process in nanoseconds, from the scheduler.
double cpu_seconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/schedstat");
    double nanos = 0;
    stat >> nanos;
    return nanos / 1e9;
}

long peak_rss_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

struct Peer {
    std::unique_ptr<Child> child;
    std::uint16_t port = 0;
};

Peer start(Input input) {
    Peer peer;
    peer.port = testsupport::free_udp_port();
    peer.child = std::make_unique<Child>(
        std::vector<std::string>{LANLINK_BINARY, "127.0.0.1", "4556", std::to_string(peer.port)},
        input);
    if (input == Input::kTerminal) {
        peer.child->wait_for("[Y/n] ");
        peer.child->write("y\n");
    }
    if (!peer.child->wait_for("recieving packets...Success!")) {
        std::fprintf(stderr, "lanlink did not start\n");
        std::exit(1);
    }
    return peer;
}

double idle_cpu_percent(Peer& peer, int seconds) {
    const double before = cpu_seconds(peer.child->pid());
    const auto t0 = Clock::now();
    peer.child->read_for(milliseconds(seconds * 1000));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    return 100.0 * (cpu_seconds(peer.child->pid()) - before) / wall;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

void round_trips(Peer& peer, const LoopbackUdp& sender, const LoopbackUdp& answers,
                 const char* label) {
    std::vector<double> micros;
    int lost = 0;
    for (int i = 0; i < 1000; ++i) {
        sender.send(peer.port, z("10.0.0.2"));
        sender.send(peer.port, z("4555"));
        const auto t0 = Clock::now();
        sender.send(peer.port, z("update"));
        int got = 0;
        while (got < 3 && answers.receive(milliseconds(500))) {
            ++got;
        }
        const auto t1 = Clock::now();
        if (got == 3) {
            micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        } else {
            ++lost;
        }
        peer.child->drain();
    }
    std::printf("update round trip (%s): median %.0f us, p99 %.0f us, %d lost of 1000\n", label,
                percentile(micros, 0.5), percentile(micros, 0.99), lost);
}

// Sends `count` numbered vectors, `gap` apart, and checks every answer triple.
void vectors(Peer& peer, const LoopbackUdp& sender, const LoopbackUdp& answers, int count,
             milliseconds gap, const char* label) {
    for (int i = 0; i < count; ++i) {
        sender.send_vector(peer.port, z("v" + std::to_string(i)), z(std::to_string(i)),
                           z("update"));
        if (gap.count() > 0) {
            std::this_thread::sleep_for(gap);
        }
        peer.child->drain();
    }
    std::vector<std::string> got;
    while (auto d = answers.receive(milliseconds(1500))) {
        got.push_back(d->bytes);
        peer.child->drain();
    }
    int aligned = 0;
    int split = 0;
    for (std::size_t i = 0; i < got.size(); i += 3) {
        if (i + 2 >= got.size()) {
            ++split;
            break;
        }
        const std::string a = got[i].substr(0, got[i].find('\0'));
        const std::string b = got[i + 1].substr(0, got[i + 1].find('\0'));
        const bool ok = a.size() > 1 && a[0] == 'v' && a.substr(1) == b &&
                        got[i + 2] == std::string("up_resp\0\0", 9);
        (ok ? aligned : split) += 1;
    }
    std::printf("%s: %d vectors sent, %d answered and aligned, %d split or misaligned\n", label,
                count, aligned, split);
}

void enter_to_prompt(Peer& peer) {
    std::vector<double> millis;
    for (int i = 0; i < 50; ++i) {
        peer.child->write("x");
        if (!testsupport::wait_for_raw(peer.child->terminal(), true)) {
            break;
        }
        const auto t0 = Clock::now();
        peer.child->write("\n");
        if (!peer.child->wait_for("\r\n$ ")) {
            break;
        }
        millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        peer.child->write("nothing\n");
        peer.child->read_for(milliseconds(30));
    }
    std::printf("Enter to prompt: median %.2f ms, max %.2f ms over %zu tries\n",
                percentile(millis, 0.5), percentile(millis, 1.0), millis.size());
}

}  // namespace

int main(int argc, char** argv) {
    const int idle_seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    const LoopbackUdp answers(kAnswerPort);
    const LoopbackUdp sender;

    Peer headless = start(Input::kNull);
    std::printf("idle CPU headless: %.3f%% of a core over %d s\n",
                idle_cpu_percent(headless, idle_seconds), idle_seconds);
    Peer terminal = start(Input::kTerminal);
    std::printf("idle CPU on a terminal: %.3f%% of a core over %d s\n",
                idle_cpu_percent(terminal, idle_seconds), idle_seconds);

    round_trips(headless, sender, answers, "headless");
    round_trips(terminal, sender, answers, "terminal");
    vectors(headless, sender, answers, 50, milliseconds(0), "burst of 50 back to back");
    vectors(headless, sender, answers, 200, milliseconds(0), "burst of 200 back to back");
    vectors(headless, sender, answers, 500, milliseconds(2), "500 paced vectors, 2 ms apart");
    enter_to_prompt(terminal);

    std::printf("peak RSS: %ld KiB headless, %ld KiB on a terminal\n",
                peak_rss_kib(headless.child->pid()), peak_rss_kib(terminal.child->pid()));
    for (Peer* peer : {&headless, &terminal}) {
        sender.send_vector(peer->port, z("a"), z("b"), z("quit"));
        peer->child->wait_for("terminating server...Done!", milliseconds(3000));
    }
    return 0;
}
