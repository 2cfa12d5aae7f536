// How fast a quit vector ends the program: headless, on a terminal with a
// stray key pending, and with a line being typed.
#include <chrono>
#include <cstdio>

#include "bench.h"
#include "child.h"
#include "peer.h"
#include "scenarios.h"

namespace bench {
namespace {

// The time from the quit vector sent to the shut-down's last words.
void quit_time(Peer& peer, const LoopbackUdp& sender, const char* state) {
    const auto t0 = Clock::now();
    sender.send_vector(peer.port, z("a"), z("b"), z("quit"));
    // The last words of the shut-down, written as the program returns.
    peer.child->wait_for("terminating server...Done!", milliseconds(3000));
    std::printf("quit ends the program (%s): %.1f ms\n", state,
                std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    peer.child->wait_exit(milliseconds(3000));
}

}  // namespace

// `headless` and `terminal` end; a third peer is started to type a line.
void quit_times(Peer& headless, Peer& terminal, const LoopbackUdp& sender) {
    quit_time(headless, sender, "headless");
    terminal.child->write("x");
    testsupport::wait_for_raw(terminal.child->terminal(), true);
    quit_time(terminal, sender, "a stray key pending");
    Peer typing = start(Input::kTerminal);
    testsupport::open_prompt(*typing.child);
    typing.child->write("hel");
    quit_time(typing, sender, "a line being typed");
    std::fflush(stdout);
}

}  // namespace bench
