// What the benchmark's scenarios share: the lanlink they measure and how
// they start it, the port its answers come back to, pacing, percentiles and
// the update round trip most of them time.
#ifndef LANLINK_BENCH_BENCH_H
#define LANLINK_BENCH_BENCH_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "udp.h"

namespace bench {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testsupport::Child;
using testsupport::Input;
using testsupport::LoopbackUdp;
using testsupport::z;

// Where the peers send their answers to updates: the benchmark binds
// 127.0.0.1 on it to collect them, so nothing else may hold that port.
inline constexpr std::uint16_t kAnswerPort = 4556;

// The lanlink measured: this build's unless told otherwise.
extern std::string g_binary;

// Calls `send(i)` for i from 0 to count - 1, `rate` times a second.
template <typename Send>
void paced(double rate, int count, Send send) {
    const auto gap = std::chrono::duration<double>(1.0 / rate);
    const auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_until(
            t0 + std::chrono::duration_cast<Clock::duration>(gap * static_cast<double>(i)));
        send(i);
    }
}

// The value a fraction `p` (0 to 1) of the way up the sorted values; 0 when
// there are none.
double percentile(std::vector<double> v, double p);

// A lanlink being measured, and the port it listens on.
struct Peer {
    std::unique_ptr<Child> child;
    std::uint16_t port = 0;
};

// lanlink listening on a free port, on a terminal or headless (`input`),
// once it has started; the benchmark ends if it does not.
Peer start(Input input);

// lanlink headless listening on `port`, its output thrown away (a shell does
// the redirection), with `options` before its operands.
std::unique_ptr<Child> headless_to_null(std::uint16_t port, const std::string& options = "");

// The update round trip `count` times, in microseconds from the request's
// vector send to the third answer datagram, one figure for each request
// answered; `lost` is set to how many were not. Requests go `gap` apart (0:
// each as soon as the last is answered).
std::vector<double> round_trips(Peer& peer, const LoopbackUdp& sender, const LoopbackUdp& answers,
                                int count, int& lost, milliseconds gap = milliseconds(0));

// The CPU `peer` uses over `seconds` of doing nothing, in percent of a core
// (idle.cpp).
double idle_cpu_percent(Peer& peer, int seconds);

}  // namespace bench

#endif  // LANLINK_BENCH_BENCH_H
