// Several senders at once: two at a high rate, their printouts and answers
// kept apart; the CPU per vector with one sender and with many interleaved,
// against the bare SDL_net loop; and the CPU of a datagram refused by
// --allow against one taken.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench.h"
#include "process.h"
#include "responders.h"
#include "scenarios.h"

namespace bench {

// Two senders at `rate` vectors a second each, every tenth an update: how
// many printouts mix texts, and whether each answer echoes its own sender.
void two_senders(Peer& peer, const LoopbackUdp& answers, int rate) {
    constexpr int kSeconds = 2;
    const std::string address[2] = {"10.0.0.1", "10.0.0.2"};
    const std::string port_text[2] = {"5001", "5002"};
    const std::string word[2] = {"hello1", "hello2"};
    std::atomic<int> updates{0};
    auto send_all = [&](int who) {
        const LoopbackUdp sender;
        paced(rate, rate * kSeconds, [&](int i) {
            const bool update = i % 10 == 9;
            updates += update ? 1 : 0;
            sender.send_vector(peer.port, z(address[who]), z(port_text[who]),
                               z(update ? "update" : word[who]));
        });
    };
    peer.child->read_for(milliseconds(300));  // nothing left over from earlier runs
    const std::size_t from = peer.child->output().size();
    std::thread first(send_all, 0);
    std::thread second(send_all, 1);
    std::vector<std::string> got;
    const auto end = Clock::now() + std::chrono::seconds(kSeconds + 3);
    while (Clock::now() < end) {
        if (auto d = answers.receive(milliseconds(100))) {
            got.push_back(d->bytes);
        }
        peer.child->drain();
    }
    first.join();
    second.join();
    peer.child->read_for(milliseconds(300));
    const std::string out = peer.child->output().substr(from);
    int shown = 0;
    int mixed = 0;
    const std::string head = "Packet array incoming!\n\t  IP: ";
    for (std::size_t at = out.find(head); at != std::string::npos; at = out.find(head, at + 1)) {
        std::istringstream lines(out.substr(at + head.size(), 200));
        std::string ip;
        std::string port;
        std::string msg;
        std::getline(lines, ip);
        std::getline(lines, port);
        std::getline(lines, msg);
        ++shown;
        bool ok = false;
        for (int who = 0; who < 2; ++who) {
            ok = ok || (ip == address[who] && port == "\tPORT: " + port_text[who] &&
                        (msg == "\t MSG: " + word[who] || msg == "\t MSG: update"));
        }
        mixed += ok ? 0 : 1;
    }
    int own = 0;
    for (std::size_t i = 0; i + 2 < got.size(); i += 3) {
        for (int who = 0; who < 2; ++who) {
            std::string a = z(address[who]);
            std::string b = z(port_text[who]);
            a.resize(9, '\0');
            b.resize(9, '\0');
            own += got[i] == a && got[i + 1] == b && got[i + 2] == std::string("up_resp\0\0", 9);
        }
    }
    std::printf(
        "two senders at %d vectors/s each: %d printouts, %d mixed; %d updates, %d answered "
        "with their own sender's texts\n",
        rate, shown, mixed, updates.load(), own);
}

// CPU per vector with one sender and with `many` senders interleaving
// datagram by datagram, lanlink headless against the bare SDL_net loop.
void senders_cost(int many) {
    const auto cost = [](pid_t pid, std::uint16_t port, int senders) {
        std::vector<std::unique_ptr<LoopbackUdp>> from;
        from.reserve(static_cast<std::size_t>(senders));
        for (int i = 0; i < senders; ++i) {
            from.push_back(std::make_unique<LoopbackUdp>());
        }
        const int rounds = std::max(10, 20000 / senders);
        const double before = cpu_seconds(pid);
        const long drops_before = udp_drops(port);
        for (int round = 0; round < rounds; ++round) {
            for (const char* text : {"10.0.0.2", "4555", "hello"}) {
                for (const auto& sender : from) {
                    sender->send(port, z(text));
                }
            }
            // Paced so that the kernel drops nothing.
            std::this_thread::sleep_for(std::chrono::microseconds(20 * senders));
        }
        std::this_thread::sleep_for(milliseconds(300));
        const double vectors = static_cast<double>(rounds) * senders;
        const long dropped = udp_drops(port) - drops_before;
        return std::make_pair((cpu_seconds(pid) - before) * 1e6 / vectors, dropped);
    };
    const std::uint16_t bare_port = testsupport::free_udp_port();
    Child bare([bare_port] { return bare_receiver(bare_port); }, Input::kNull);
    const std::uint16_t port = testsupport::free_udp_port();
    const auto peer = headless_to_null(port);
    std::this_thread::sleep_for(milliseconds(300));
    for (const int senders : {1, many}) {
        const auto [bare_cost, bare_dropped] = cost(bare.pid(), bare_port, senders);
        const auto [mine, dropped] = cost(peer->pid(), port, senders);
        std::printf(
            "CPU per vector, %d sender%s interleaved: lanlink %.2f us, bare SDL_net loop %.2f us, "
            "ratio %.2f (dropped: %ld, %ld)\n",
            senders, senders == 1 ? "" : "s", mine, bare_cost, mine / bare_cost, dropped,
            bare_dropped);
    }
    bare.kill_now(SIGKILL);
    const LoopbackUdp closer;
    closer.send_vector(port, z("a"), z("b"), z("quit"));
    peer->wait_exit(milliseconds(3000));
    std::fflush(stdout);
}

// CPU per datagram of a flood that lanlink takes and of one it refuses
// (--allow 127.0.0.2, the flood from 127.0.0.1): a refusal must cost no more
// than a datagram received.
void refusal_cost() {
    const std::uint16_t port = testsupport::free_udp_port();
    const auto peer = headless_to_null(port, "--allow 127.0.0.2");
    std::this_thread::sleep_for(milliseconds(300));
    const auto cost = [&](const LoopbackUdp& from) {
        constexpr int kVectors = 20000;
        const double before = cpu_seconds(peer->pid());
        const long drops_before = udp_drops(port);
        paced(20000, kVectors, [&](int i) {
            from.send_vector(port, z("10.0.0.2"), z(std::to_string(i)), z("hello"));
        });
        std::this_thread::sleep_for(milliseconds(300));
        return std::make_pair((cpu_seconds(peer->pid()) - before) * 1e6 / (3.0 * kVectors),
                              udp_drops(port) - drops_before);
    };
    const LoopbackUdp allowed(0, false, 2);
    const LoopbackUdp refused;
    const auto [taken, taken_dropped] = cost(allowed);
    const auto [turned_away, refused_dropped] = cost(refused);
    std::printf(
        "CPU per datagram at 60,000 datagrams/s: taken %.2f us, refused %.2f us, ratio %.2f "
        "(dropped: %ld, %ld)\n",
        taken, turned_away, turned_away / taken, taken_dropped, refused_dropped);
    allowed.send_vector(port, z("a"), z("b"), z("quit"));
    peer->wait_exit(milliseconds(3000));
    std::fflush(stdout);
}

}  // namespace bench
