// The zero-loss receive rate: the fastest one sender's vectors are taken
// with no datagram dropped by the kernel, lanlink headless with its output
// to /dev/null beside the bare SDL_net receive loop.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "bench.h"
#include "process.h"
#include "responders.h"
#include "scenarios.h"

namespace bench {
namespace {

// Sends vectors at `rate` a second for a second and returns the rate the
// sender reached; `lossless` says whether no datagram was dropped.
double rate_reached(const LoopbackUdp& sender, std::uint16_t port, double rate, bool& lossless) {
    const long before = udp_drops(port);
    const auto start = Clock::now();
    paced(rate, static_cast<int>(rate),
          [&](int /*i*/) { sender.send_vector(port, z("10.0.0.2"), z("4555"), z("hello")); });
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(milliseconds(300));
    lossless = udp_drops(port) == before;
    // The last vector went out at (rate - 1) / rate seconds at the earliest.
    return (rate - 1) / std::max(took, (rate - 1) / rate);
}

// The highest rate reached with no loss (within 5%), in vectors a second,
// and whether that was the sender's limit rather than the receiver's.
double zero_loss_rate(const LoopbackUdp& sender, std::uint16_t port, bool& sender_limited) {
    double low = 0;
    double high = 5000;
    sender_limited = false;
    bool lossless = true;
    for (;;) {
        const double reached = rate_reached(sender, port, high, lossless);
        if (!lossless) {
            break;
        }
        low = reached;
        if (reached < high * 0.95) {
            sender_limited = true;  // one sender could not go faster: the receiver kept up
            return low;
        }
        high *= 2;
    }
    while (high - low > low * 0.05 && high - low > 100) {
        const double mid = (low + high) / 2;
        const double reached = rate_reached(sender, port, mid, lossless);
        if (lossless) {
            low = reached;
        } else {
            high = mid;
        }
    }
    return low;
}

}  // namespace

void receive_rates(const LoopbackUdp& sender) {
    const std::uint16_t bare_port = testsupport::free_udp_port();
    Child bare([bare_port] { return bare_receiver(bare_port); }, Input::kNull);
    std::this_thread::sleep_for(milliseconds(200));
    bool bare_limited = false;
    const double bare_rate = zero_loss_rate(sender, bare_port, bare_limited);
    bare.kill_now(SIGKILL);

    const std::uint16_t port = testsupport::free_udp_port();
    const auto peer = headless_to_null(port);
    std::this_thread::sleep_for(milliseconds(300));
    bool limited = false;
    const double rate = zero_loss_rate(sender, port, limited);
    sender.send_vector(port, z("a"), z("b"), z("quit"));
    peer->wait_exit(milliseconds(3000));
    std::printf(
        "zero-loss receive rate reached, headless to /dev/null: %.0f vectors/s%s; bare SDL_net "
        "loop %.0f vectors/s%s; ratio %.2f\n",
        rate, limited ? " (as fast as one sender went)" : "", bare_rate,
        bare_limited ? " (as fast as one sender went)" : "",
        bare_rate > 0 ? rate / bare_rate : 0.0);
}

}  // namespace bench
