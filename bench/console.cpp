// lanlink on a terminal: how fast a key is noticed, the round trip with a
// stray key pending or a line being typed, a flood while the prompt is open,
// output stopped with Ctrl-S, a line kept open under a long flood, and
// updates answered in the background of a job-control shell.
#include <termios.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "peer.h"
#include "process.h"
#include "scenarios.h"

namespace bench {

// Time from a key typed while idle to the program waiting for the next key
// (its echo turned off), and whether two Enters 2 ms apart open the prompt.
void keys(Peer& peer) {
    std::vector<double> millis;
    int prompts = 0;
    for (int i = 0; i < 20; ++i) {
        peer.child->read_for(milliseconds(20));
        const auto t0 = Clock::now();
        peer.child->write("x");
        if (!testsupport::wait_for_raw(peer.child->terminal(), true)) {
            break;
        }
        millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        peer.child->write("\n");
        peer.child->wait_for("\r\n$ ");
        peer.child->write("nothing\n");
    }
    for (int i = 0; i < 20; ++i) {
        peer.child->read_for(milliseconds(20));
        peer.child->write("\n");
        std::this_thread::sleep_for(milliseconds(2));
        peer.child->write("\n");
        if (peer.child->wait_for("\r\n$ ", milliseconds(500))) {
            ++prompts;
            peer.child->write("nothing\n");
        }
    }
    std::printf("key noticed: median %.2f ms, max %.2f ms over %zu keys\n", percentile(millis, 0.5),
                percentile(millis, 1.0), millis.size());
    std::printf("two Enters 2 ms apart: prompt %d of 20 times\n", prompts);
}

// The round trip while a stray key is pending, and while a line is typed.
void busy_console(Peer& peer, const LoopbackUdp& sender, const LoopbackUdp& answers) {
    peer.child->write("x");
    testsupport::wait_for_raw(peer.child->terminal(), true);
    report_round_trips(peer, sender, answers, 100, "a stray key pending");
    peer.child->write("\n");
    peer.child->wait_for("\r\n$ ");
    peer.child->write("hel");
    report_round_trips(peer, sender, answers, 100, "a line being typed");
    peer.child->write("p\n");
    peer.child->wait_for("display this message");
}

// A flood while the prompt is open: every printout is held, then written.
void flood_at_prompt(Peer& peer, const LoopbackUdp& sender) {
    testsupport::open_prompt(*peer.child);
    peer.child->write("hel");
    const long drops_before = udp_drops(peer.port);
    const int count = 5000;
    const auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_until(t0 + std::chrono::microseconds(1000 * i));
        sender.send_vector(peer.port, z("f" + std::to_string(i)), z(std::to_string(i)), z("hello"));
    }
    std::this_thread::sleep_for(milliseconds(200));
    const std::size_t shown_early = peer.child->take().find("Packet") == std::string::npos ? 0 : 1;
    peer.child->write("p\n");
    peer.child->wait_for("display this message", milliseconds(10000));
    const std::string out = peer.child->output();
    int printed = 0;
    for (std::size_t at = out.find("\t MSG: hello"); at != std::string::npos;
         at = out.find("\t MSG: hello", at + 1)) {
        ++printed;
    }
    std::printf(
        "1,000 vectors a second for 5 s, prompt open: %d printed after the line (%s before), "
        "%ld dropped\n",
        printed, shown_early != 0 ? "some" : "none", udp_drops(peer.port) - drops_before);
}

// Output stopped with Ctrl-S for the length of 300 updates at 100 a second.
void stopped_output(Peer& peer, const LoopbackUdp& sender, const LoopbackUdp& answers) {
    termios settings{};
    tcgetattr(peer.child->terminal(), &settings);
    settings.c_iflag |= IXON;
    tcsetattr(peer.child->terminal(), TCSANOW, &settings);
    peer.child->write("\x13");
    int lost = 0;
    Peer quiet{nullptr, peer.port};  // the terminal is not read meanwhile
    const std::vector<double> micros =
        round_trips(quiet, sender, answers, 300, lost, milliseconds(10));
    peer.child->write("\x11");
    peer.child->read_for(milliseconds(500));
    std::printf("output stopped, 300 updates at 100/s: %d answered, median %.0f us, p99 %.0f us\n",
                300 - lost, percentile(micros, 0.5), percentile(micros, 0.99));
}

// A line open for `seconds` while `rate` vectors a second arrive, every
// twentieth an update: answers, kernel drops, and shown + counted.
void line_open_flood(Peer& peer, const LoopbackUdp& answers, int seconds, int rate) {
    testsupport::open_prompt(*peer.child);
    peer.child->write("hel");
    const std::size_t from = peer.child->output().size();
    const long drops_before = udp_drops(peer.port);
    std::atomic<int> sent{0};
    std::atomic<int> updates{0};
    std::thread sending([&] {
        const LoopbackUdp sender;
        paced(rate, rate * seconds, [&](int i) {
            const bool update = i % 20 == 19;
            sender.send_vector(peer.port, z("10.0.0." + std::to_string(i % 250)), z("4555"),
                               z(update ? "update" : "hello"));
            ++sent;
            updates += update ? 1 : 0;
        });
    });
    int answered = 0;
    int datagrams = 0;
    const auto end = Clock::now() + std::chrono::seconds(seconds + 2);
    while (Clock::now() < end) {
        if (answers.receive(milliseconds(100))) {
            answered += ++datagrams % 3 == 0 ? 1 : 0;
        }
    }
    sending.join();
    const long dropped = udp_drops(peer.port) - drops_before;
    const bool early = peer.child->take().find("Packet") != std::string::npos;
    peer.child->write("p\n");
    peer.child->wait_for("display this message", milliseconds(20000));
    const auto [shown, not_shown] =
        testsupport::shown_and_not_shown(peer.child->output().substr(from));
    std::printf(
        "line open %d s at %d vectors/s: %d of %d updates answered, %ld dropped by the kernel, "
        "%d shown + %ld counted = %d of %d sent%s\n",
        seconds, rate, answered, updates.load(), dropped, shown, not_shown,
        shown + static_cast<int>(not_shown), sent.load(), early ? " (some inside the line!)" : "");
}

// Ctrl-Z and bg under a job-control shell: updates answered in the background.
void background(const LoopbackUdp& sender, const LoopbackUdp& answers) {
    Peer peer;
    peer.port = testsupport::free_udp_port();
    const std::string run = g_binary + " 127.0.0.1 9 " + std::to_string(peer.port);
    peer.child =
        std::make_unique<Child>(std::vector<std::string>{"/bin/bash", "--norc", "--noprofile", "-c",
                                                         "set -m; " + run + "; bg; read line; fg"},
                                Input::kTerminal);
    peer.child->wait_for("[Y/n] ");
    peer.child->write("y\n");
    peer.child->wait_for("recieving packets...Success!");
    peer.child->read_for(milliseconds(100));
    peer.child->write("\x1a");
    peer.child->wait_for(" &\r\n");
    int lost = 0;
    const std::vector<double> micros = round_trips(peer, sender, answers, 100, lost);
    std::printf("in the background: %d of 100 updates answered, median %.0f us\n", 100 - lost,
                percentile(micros, 0.5));
    peer.child->write("\n");
    testsupport::wait_for_raw(peer.child->terminal(), false);
    sender.send_vector(peer.port, z("a"), z("b"), z("quit"));
    peer.child->wait_exit(milliseconds(3000));
}

}  // namespace bench
