// What lanlink costs while nothing happens: its CPU over an idle spell,
// headless and on a terminal (the open prompt's is in prompt.cpp); and the
// most memory the main set's peers held once it has run.
#include <chrono>
#include <cstdio>

#include "bench.h"
#include "process.h"
#include "scenarios.h"

namespace bench {

double idle_cpu_percent(Peer& peer, int seconds) {
    const double before = cpu_seconds(peer.child->pid());
    const auto t0 = Clock::now();
    peer.child->read_for(milliseconds(seconds * 1000));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    return 100.0 * (cpu_seconds(peer.child->pid()) - before) / wall;
}

void report_idle_cpu(Peer& peer, int seconds, const char* where) {
    std::printf("idle CPU %s: %.4f%% of a core over %d s\n", where, idle_cpu_percent(peer, seconds),
                seconds);
}

void report_peak_rss(const Peer& headless, const Peer& terminal) {
    std::printf("peak RSS: %ld KiB headless, %ld KiB on a terminal\n",
                peak_rss_kib(headless.child->pid()), peak_rss_kib(terminal.child->pid()));
    std::fflush(stdout);
}

}  // namespace bench
