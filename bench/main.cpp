// Measures lanlink on loopback: idle CPU, how fast a key is noticed, the
// update round trip (idle, with a key pending, with a line being typed) and
// its CPU cost beside a plain C responder, two senders at once,
// how fast a quit ends it, bursts and paced vectors, the zero-loss receive
// rate against a bare SDL_net receive loop, a flood while the prompt is open,
// and peak memory. It binds 127.0.0.1:4556 to collect answers, so nothing
// else may hold that port. The scenarios are in files by what they measure
// (scenarios.h lists them); this picks which run.
//
//   lanlink_bench [idle_seconds [lanlink_binary [line_seconds [framing|cost|console]]]]
//   (defaults: 10 s idle, this build's lanlink, a line open for 60 s;
//   "framing" runs only the measures of how vectors are put together)
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench.h"
#include "scenarios.h"

namespace bench {
namespace {

// The framing measures, on their own.
void framing(const LoopbackUdp& answers) {
    drop_during_flood(3);
    stray_datagram(answers);
    for (const int count : {64, 65, 200, 1000}) {
        interleaved_senders(answers, count);
    }
    update_flood(answers, 5000, 2);
    report_framing_peak_rss();
}

int run(int argc, char** argv) {
    const int idle_seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    if (argc > 2) {
        g_binary = argv[2];
    }
    const int line_seconds = argc > 3 ? std::atoi(argv[3]) : 60;
    const LoopbackUdp answers(kAnswerPort);
    const LoopbackUdp sender;
    // A thousand senders need a descriptor each.
    rlimit descriptors{};
    getrlimit(RLIMIT_NOFILE, &descriptors);
    descriptors.rlim_cur = descriptors.rlim_max;
    setrlimit(RLIMIT_NOFILE, &descriptors);
    const std::string only = argc > 4 ? argv[4] : "";
    if (only == "framing") {
        framing(answers);
        return 0;
    }
    if (only == "console") {
        key_echo(50);
        open_prompt(answers, idle_seconds, 1000, 10000);
        return 0;
    }
    if (only == "cost") {
        against_c_responder(sender, answers, false, 9, 1000);
        against_c_responder(sender, answers, true, 5, 500);
        senders_cost(1000);
        refusal_cost();
        receive_rates(sender);
        return 0;
    }

    Peer headless = start(Input::kNull);
    report_idle_cpu(headless, idle_seconds, "headless");
    Peer terminal = start(Input::kTerminal);
    report_idle_cpu(terminal, idle_seconds, "on a terminal");
    std::fflush(stdout);

    report_round_trips(headless, sender, answers, 1000, "headless");
    against_c_responder(sender, answers, false, 7, 500);
    against_c_responder(sender, answers, true, 5, 500);
    two_senders(headless, answers, 2500);
    report_round_trips(terminal, sender, answers, 1000, "terminal, idle");
    busy_console(terminal, sender, answers);
    keys(terminal);
    vectors(headless, sender, answers, 50, milliseconds(0), "burst of 50 back to back");
    vectors(headless, sender, answers, 200, milliseconds(0), "burst of 200 back to back");
    vectors(headless, sender, answers, 500, milliseconds(2), "500 paced vectors, 2 ms apart");
    flood_at_prompt(terminal, sender);
    stopped_output(terminal, sender, answers);
    line_open_flood(terminal, answers, line_seconds, 2000);
    background(sender, answers);
    report_peak_rss(headless, terminal);

    quit_times(headless, terminal, sender);

    receive_rates(sender);
    return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    return bench::run(argc, argv);
}
