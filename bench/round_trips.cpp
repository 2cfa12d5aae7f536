// The update round trip, from a vector sent to its third answer datagram,
// and what an update costs lanlink (CPU of every thread, context switches)
// against the minimal C responder, the two taking turns in every run.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "process.h"
#include "responders.h"
#include "scenarios.h"

namespace bench {
namespace {

struct UpdateCost {
    double cpu_us = 0;     // per answered update, every thread
    double switches = 0;   // context switches per answered update
    double median_us = 0;  // round trip
    int lost = 0;
};

// `count` updates one after the other to `peer`, with its CPU and context
// switches counted over them.
UpdateCost update_cost(Peer& peer, const LoopbackUdp& sender, const LoopbackUdp& answers,
                       int count) {
    UpdateCost cost;
    const pid_t pid = peer.child->pid();
    const double cpu_before = cpu_seconds(pid);
    const long switches_before = context_switches(pid);
    const std::vector<double> micros = round_trips(peer, sender, answers, count, cost.lost);
    const double answered = std::max(1, count - cost.lost);
    cost.cpu_us = (cpu_seconds(pid) - cpu_before) * 1e6 / answered;
    cost.switches = static_cast<double>(context_switches(pid) - switches_before) / answered;
    cost.median_us = percentile(micros, 0.5);
    return cost;
}

std::string spread(std::vector<double> values, const char* format) {
    std::sort(values.begin(), values.end());
    char text[160];
    std::string out = "min/median/max ";
    for (const double v : {values.front(), percentile(values, 0.5), values.back()}) {
        std::snprintf(text, sizeof text, format, v);
        out += text;
        out += "/";
    }
    out.pop_back();
    return out;
}

}  // namespace

std::vector<double> round_trips(Peer& peer, const LoopbackUdp& sender, const LoopbackUdp& answers,
                                int count, int& lost, milliseconds gap) {
    std::vector<double> micros;
    lost = 0;
    answers.drain();  // late answers from an earlier run are not this run's
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_until(start + gap * i);
        // The three datagrams with one system call, as a peer sends them.
        const auto t0 = Clock::now();
        sender.send_vector(peer.port, z("10.0.0.2"), z("4555"), z("update"));
        int got = 0;
        while (got < 3 && answers.receive(milliseconds(200))) {
            ++got;
        }
        const auto t1 = Clock::now();
        if (got == 3) {
            micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        } else {
            ++lost;
        }
        if (peer.child) {
            peer.child->drain();
        }
    }
    return micros;
}

void report_round_trips(Peer& peer, const LoopbackUdp& sender, const LoopbackUdp& answers,
                        int count, const char* label) {
    int lost = 0;
    const std::vector<double> micros = round_trips(peer, sender, answers, count, lost);
    std::printf("update round trip (%s): median %.0f us, p99 %.0f us, %d lost of %d\n", label,
                percentile(micros, 0.5), percentile(micros, 0.99), lost, count);
}

// lanlink beside the minimal responder, `runs` times `count` updates each,
// the two taking turns in every run. Headless, lanlink's output goes to
// /dev/null and the responder prints nothing; on a terminal, each writes
// its printout to a terminal of its own, which the benchmark reads.
void against_c_responder(const LoopbackUdp& sender, const LoopbackUdp& answers, bool terminal,
                         int runs, int count) {
    std::vector<double> cpu_ratio;
    std::vector<double> rtt_ratio;
    std::vector<double> lanlink_cpu;
    std::vector<double> responder_cpu;
    std::vector<double> lanlink_switches;
    std::vector<double> responder_switches;
    std::vector<double> polling_cpu;  // headless: a responder that waits in ppoll()
    int lost = 0;
    for (int run = 0; run < runs; ++run) {
        Peer lanlink;
        if (terminal) {
            lanlink = start(Input::kTerminal);
        } else {
            lanlink.port = testsupport::free_udp_port();
            lanlink.child = headless_to_null(lanlink.port);
        }
        Peer c;
        c.port = testsupport::free_udp_port();
        const std::uint16_t c_port = c.port;
        c.child =
            std::make_unique<Child>([c_port, terminal] { return c_responder(c_port, terminal); },
                                    terminal ? Input::kTerminal : Input::kNull);
        std::this_thread::sleep_for(milliseconds(300));
        round_trips(lanlink, sender, answers, 20, lost);  // both warmed up
        round_trips(c, sender, answers, 20, lost);
        // Each goes first in every other run, so that a drift of the
        // machine's load weighs on both alike.
        UpdateCost mine;
        UpdateCost theirs;
        if (run % 2 == 0) {
            mine = update_cost(lanlink, sender, answers, count);
            theirs = update_cost(c, sender, answers, count);
        } else {
            theirs = update_cost(c, sender, answers, count);
            mine = update_cost(lanlink, sender, answers, count);
        }
        lost += mine.lost + theirs.lost;
        cpu_ratio.push_back(mine.cpu_us / theirs.cpu_us);
        rtt_ratio.push_back(mine.median_us / theirs.median_us);
        lanlink_cpu.push_back(mine.cpu_us);
        responder_cpu.push_back(theirs.cpu_us);
        lanlink_switches.push_back(mine.switches);
        responder_switches.push_back(theirs.switches);
        c.child->kill_now(SIGKILL);
        if (!terminal) {
            Peer polling;
            polling.port = testsupport::free_udp_port();
            const std::uint16_t p_port = polling.port;
            polling.child = std::make_unique<Child>(
                [p_port] { return c_responder(p_port, false, true); }, Input::kNull);
            std::this_thread::sleep_for(milliseconds(100));
            round_trips(polling, sender, answers, 20, lost);
            polling_cpu.push_back(update_cost(polling, sender, answers, count).cpu_us);
            polling.child->kill_now(SIGKILL);
        }
        sender.send_vector(lanlink.port, z("a"), z("b"), z("quit"));
        lanlink.child->wait_exit(milliseconds(3000));
    }
    const char* where = terminal ? "on a terminal (both print)" : "headless";
    std::printf("update against the minimal responder, %s, %d runs x %d updates, %d lost:\n", where,
                runs, count, lost);
    std::printf("  CPU per update: lanlink %s us, responder %s us; ratio %s\n",
                spread(lanlink_cpu, "%.1f").c_str(), spread(responder_cpu, "%.1f").c_str(),
                spread(cpu_ratio, "%.2f").c_str());
    std::printf("  round-trip median ratio %s\n", spread(rtt_ratio, "%.3f").c_str());
    std::printf("  context switches per update: lanlink %s, responder %s\n",
                spread(lanlink_switches, "%.2f").c_str(),
                spread(responder_switches, "%.2f").c_str());
    if (!polling_cpu.empty()) {
        std::printf("  (the responder waiting in ppoll() on two descriptors: %s us)\n",
                    spread(polling_cpu, "%.1f").c_str());
    }
    std::fflush(stdout);
}

}  // namespace bench
