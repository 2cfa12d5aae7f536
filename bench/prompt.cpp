// The prompts: the time from a key to its echo at the classic prompt and at
// the open prompt, and the open prompt's idle CPU, a line kept while vectors
// arrive, and a pipe of send lines.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "peer.h"
#include "scenarios.h"
#include "screen.h"

namespace bench {

// The time from a key typed at a prompt to its echo on the terminal: at the
// classic prompt (the terminal echoes) and at the open prompt (readline
// echoes), `count` keys each, on the same binary.
void key_echo(int count) {
    const auto echo_times = [count](const std::vector<std::string>& options, bool classic) {
        const std::uint16_t port = testsupport::free_udp_port();
        auto child = testsupport::start_peer(g_binary, port, 9, 0, nullptr, options);
        std::vector<double> micros;
        if (!child) {
            return micros;
        }
        if (classic) {
            testsupport::open_prompt(*child);
        } else {
            child->wait_for("$ ");
        }
        for (int i = 0; i < count; ++i) {
            const char key = static_cast<char>('a' + i % 26);
            child->take();
            const auto t0 = Clock::now();
            child->write(std::string(1, key));
            if (!child->wait_for(std::string(1, key), milliseconds(1000))) {
                break;
            }
            micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            std::this_thread::sleep_for(milliseconds(5));
        }
        child->write(
            "\x15"
            "exit\n");  // Ctrl-U clears what was typed
        child->wait_exit(milliseconds(3000));
        return micros;
    };
    const std::vector<double> classic = echo_times({}, true);
    const std::vector<double> open = echo_times({"-p"}, false);
    std::printf(
        "key to its echo, median (p90): classic prompt %.0f us (%.0f), open prompt %.0f us (%.0f); "
        "ratio %.2f\n",
        percentile(classic, 0.5), percentile(classic, 0.9), percentile(open, 0.5),
        percentile(open, 0.9), percentile(open, 0.5) / percentile(classic, 0.5));
}

// The open prompt: idle CPU, a line kept while `printouts` vectors arrive
// (every fourth an update), and a pipe of `lines` send commands.
void open_prompt(const LoopbackUdp& answers, int idle_seconds, int printouts, int lines) {
    {
        Peer peer;
        peer.port = testsupport::free_udp_port();
        peer.child = testsupport::start_peer(g_binary, peer.port, 9, 0, nullptr, {"-p"});
        if (!peer.child) {
            return;
        }
        peer.child->wait_for("$ ");
        std::printf("idle CPU with the open prompt on a terminal: %.4f%% of a core over %d s\n",
                    idle_cpu_percent(peer, idle_seconds), idle_seconds);
        peer.child->write("hel");
        peer.child->wait_for("hel");
        answers.drain();
        const LoopbackUdp sender;
        int updates = 0;
        int answered = 0;
        for (int i = 0; i < printouts; ++i) {
            const bool update = i % 4 == 0;
            updates += update ? 1 : 0;
            sender.send_vector(peer.port, z("10.0.0.1"), z(std::to_string(i)),
                               z(update ? "update" : "hello"));
            if (update) {
                int got = 0;
                while (got < 3 && answers.receive(milliseconds(200))) {
                    ++got;
                }
                answered += got == 3 ? 1 : 0;
            }
            peer.child->drain();
        }
        peer.child->write("p\n");
        peer.child->wait_for("\t         stats - show", milliseconds(5000));
        const std::vector<std::string> screen = testsupport::screen_lines(peer.child->output());
        int broken = 0;
        int shown = 0;
        for (const std::string& line : screen) {
            shown += line == "Packet array incoming!" ? 1 : 0;
            broken +=
                line.find('$') != std::string::npos && line != "$ help" && line != "$" ? 1 : 0;
        }
        std::printf(
            "a line open while %d vectors arrive: %d printouts on the screen, %d broken lines, %d "
            "of %d updates answered; the line then runs: %s\n",
            printouts, shown, broken, answered, updates,
            std::count(screen.begin(), screen.end(), "$ help") == 1 ? "yes" : "no");
        peer.child->write("exit\n");
        peer.child->wait_exit(milliseconds(3000));
    }
    {
        const LoopbackUdp other;
        const std::uint16_t port = testsupport::free_udp_port();
        Child child(
            {g_binary, "-y", "-p", "127.0.0.1", std::to_string(other.port()), std::to_string(port)},
            Input::kPipe);
        const auto t0 = Clock::now();
        std::thread typing([&child, lines] {
            std::string text;
            for (int i = 0; i < lines; ++i) {
                text += "send m" + std::to_string(i) + "\n";
            }
            child.write(text);
            child.close_input();
        });
        int in_order = 0;
        for (int i = 0; i < 3 * lines; ++i) {
            const auto got = other.receive(milliseconds(3000));
            if (!got) {
                break;
            }
            if (i % 3 == 2 && got->bytes == z("m" + std::to_string(i / 3))) {
                ++in_order;
            }
            child.drain();
        }
        typing.join();
        const int status = testsupport::exit_code(child.wait_exit(milliseconds(10000)));
        std::printf("a pipe of %d send lines: %d sent in order, status %d, %.2f s\n", lines,
                    in_order, status, std::chrono::duration<double>(Clock::now() - t0).count());
    }
    std::fflush(stdout);
}

}  // namespace bench
