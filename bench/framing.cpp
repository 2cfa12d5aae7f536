// How lanlink puts vectors together from datagrams and answers them: bursts
// and paced vectors, a drop in the middle of a flood, a stray datagram from a
// sender's own address, many senders interleaving datagram by datagram, a
// host flooding with updates and an honest sender beside it; and the peak
// memory of the peers that ran the framing set.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "peer.h"
#include "process.h"
#include "scenarios.h"

namespace bench {
namespace {

long g_framing_peak_kib = 0;

// lanlink headless with its output in a file, which never holds it up.
struct FilePeer {
    std::unique_ptr<Child> child;
    std::uint16_t port = 0;
    std::string path;

    FilePeer() {
        char name[] = "/tmp/lanlink-bench-XXXXXX";
        const int fd = mkstemp(name);
        close(fd);
        path = name;
        port = testsupport::free_udp_port();
        child = std::make_unique<Child>(
            std::vector<std::string>{
                "/bin/sh", "-c",
                "exec " + g_binary + " 127.0.0.1 9 " + std::to_string(port) + " >" + path},
            Input::kNull);
        std::this_thread::sleep_for(milliseconds(300));
    }
    ~FilePeer() { unlink(path.c_str()); }
    FilePeer(const FilePeer&) = delete;
    FilePeer& operator=(const FilePeer&) = delete;
    FilePeer(FilePeer&&) = delete;
    FilePeer& operator=(FilePeer&&) = delete;

    std::string output() const {
        std::ifstream file(path);
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }
    void quit(const LoopbackUdp& sender) {
        g_framing_peak_kib = std::max(g_framing_peak_kib, peak_rss_kib(child->pid()));
        sender.send_vector(port, z("q"), z("q"), z("quit"));
        child->wait_exit(milliseconds(20000));
    }
};

}  // namespace

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

// The peer stopped while 20,000 vectors are sent, then continued while the
// sender keeps flooding for `seconds`: printouts holding datagrams from both
// sides of a drop, and the drop lines against the kernel's count. Every
// datagram carries its own number, so a printout whose numbers are not
// consecutive spans a loss.
void drop_during_flood(int seconds) {
    FilePeer peer;
    peer.child->kill_now(SIGSTOP);
    const LoopbackUdp sender;
    long next = 0;
    const auto send_vectors = [&](int count) {
        for (int i = 0; i < count; ++i) {
            sender.send_vector(peer.port, z("d" + std::to_string(next)),
                               z("d" + std::to_string(next + 1)),
                               z("d" + std::to_string(next + 2)));
            next += 3;
        }
    };
    send_vectors(20000);
    peer.child->kill_now(SIGCONT);
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        send_vectors(100);
    }
    std::this_thread::sleep_for(milliseconds(500));
    const long kernel = udp_drops(peer.port);
    peer.quit(sender);
    const std::string out = peer.output();
    long spanning = 0;
    long shifted = 0;
    long datagrams = 0;
    const auto printed = testsupport::printouts_in(out);
    for (const testsupport::Printout& p : printed) {
        std::vector<long> numbers;
        for (const std::string& text : {p.ip, p.port, p.msg}) {
            if (!text.empty() && text[0] == 'd') {
                numbers.push_back(std::stol(text.substr(1)));
            }
        }
        datagrams += static_cast<long>(numbers.size());
        bool spans = false;
        for (std::size_t i = 1; i < numbers.size(); ++i) {
            spans = spans || numbers[i] != numbers[i - 1] + 1;
        }
        spanning += spans ? 1 : 0;
        shifted += !spans && !numbers.empty() && numbers[0] % 3 != 0 ? 1 : 0;
    }
    std::printf(
        "stopped, 20,000 vectors, continued under a %d s flood: %zu printouts, %ld with datagrams "
        "from both sides of a drop, %ld shifted (whole, not on a vector's start); drop lines %ld, "
        "kernel %ld; %ld of %ld datagrams printed or told dropped\n",
        seconds, printed.size(), spanning, shifted,
        testsupport::told_count(out, " dropped by the system"), kernel,
        datagrams + testsupport::told_count(out, " dropped by the system"), next + 3);
}

// An update every 100 ms for 3 s, one datagram injected from the sender's
// own address and port after 1 s: answers with their own texts.
void stray_datagram(const LoopbackUdp& answers) {
    FilePeer peer;
    answers.drain();
    const LoopbackUdp sender(0, true);
    const LoopbackUdp spoof(sender.port(), true);
    constexpr int kUpdates = 30;
    int answered = 0;
    int answered_after = 0;
    for (int i = 0; i < kUpdates; ++i) {
        if (i == 10) {
            spoof.send(peer.port, z("stray"));
        }
        const std::string port_text = std::to_string(5000 + i);
        sender.send_vector(peer.port, z("10.0.0.1"), z(port_text), z("update"));
        const auto until = Clock::now() + milliseconds(100);
        std::vector<std::string> got;
        while (Clock::now() < until) {
            if (auto d = answers.receive(milliseconds(10))) {
                got.push_back(d->bytes.substr(0, d->bytes.find('\0')));
            }
        }
        const bool own =
            got.size() == 3 && got[0] == "10.0.0.1" && got[1] == port_text && got[2] == "up_resp";
        answered += own ? 1 : 0;
        answered_after += own && i > 10 ? 1 : 0;
    }
    peer.quit(sender);
    std::printf(
        "one stray datagram into an update every 100 ms: %d of %d answered with their own texts, "
        "%d of %d after the stray\n",
        answered, kUpdates, answered_after, kUpdates - 11);
}

// `count` senders interleaving datagram by datagram, every vector an update.
void interleaved_senders(const LoopbackUdp& answers, int count) {
    FilePeer peer;
    answers.drain();
    std::vector<std::unique_ptr<LoopbackUdp>> senders;
    senders.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        senders.push_back(std::make_unique<LoopbackUdp>());
    }
    for (int slot = 0; slot < 3; ++slot) {
        for (int i = 0; i < count; ++i) {
            const std::string text = slot == 0   ? "s" + std::to_string(i)
                                     : slot == 1 ? std::to_string(i)
                                                 : std::string("update");
            senders[static_cast<std::size_t>(i)]->send(peer.port, z(text));
        }
    }
    std::set<std::string> own;
    std::vector<std::string> got;
    while (auto d = answers.receive(milliseconds(500))) {
        got.push_back(d->bytes.substr(0, d->bytes.find('\0')));
    }
    for (std::size_t i = 0; i + 2 < got.size(); i += 3) {
        if (got[i] == "s" + got[i + 1] && got[i + 2] == "up_resp") {
            own.insert(got[i + 1]);
        }
    }
    peer.quit(*senders[0]);
    int whole = 0;
    for (const testsupport::Printout& p : testsupport::printouts_in(peer.output())) {
        whole += p.ip == "s" + p.port && p.msg == "update" ? 1 : 0;
    }
    std::printf(
        "%d senders interleaved: %d of %d vectors whole, %zu updates answered with their "
        "own texts\n",
        count, whole, count, own.size());
}

// One host sending updates at `rate` a second for `seconds`, and an honest
// sender beside a flood of plain vectors.
void update_flood(const LoopbackUdp& answers, int rate, int seconds) {
    {
        FilePeer peer;
        answers.drain();
        std::atomic<int> sent{0};
        std::thread sending([&] {
            const LoopbackUdp sender;
            paced(rate, rate * seconds, [&](int i) {
                sender.send_vector(peer.port, z("f" + std::to_string(i % 1000)), z("4555"),
                                   z("update"));
                ++sent;
            });
        });
        int datagrams = 0;
        const auto end = Clock::now() + std::chrono::seconds(seconds + 1);
        while (Clock::now() < end) {
            if (answers.receive(milliseconds(100))) {
                ++datagrams;
            }
        }
        sending.join();
        const LoopbackUdp closer;
        const long dropped = udp_drops(peer.port);
        peer.quit(closer);
        std::printf("%d updates/s for %d s: %d sent, %d answered, %ld dropped by the kernel\n",
                    rate, seconds, sent.load(), datagrams / 3, dropped);
    }
    {
        FilePeer peer;
        answers.drain();
        // The answers are read all along: a queue left unread would drop them.
        std::atomic<int> asked{0};
        const LoopbackUdp honest;
        std::thread sending([&] {
            const LoopbackUdp sender;
            const auto start = Clock::now();
            const auto end = start + std::chrono::seconds(seconds);
            int i = 0;
            auto next_honest = start;
            while (Clock::now() < end) {
                sender.send_vector(peer.port, z("x"), z(std::to_string(i++)), z("update"));
                if (Clock::now() >= next_honest) {
                    honest.send_vector(peer.port, z("honest"), z(std::to_string(asked)),
                                       z("update"));
                    ++asked;
                    next_honest += milliseconds(20);
                }
                std::this_thread::sleep_until(start + std::chrono::microseconds(500) * i);
            }
        });
        std::vector<std::string> got;
        const auto end = Clock::now() + std::chrono::seconds(seconds + 1);
        while (Clock::now() < end) {
            if (auto d = answers.receive(milliseconds(100))) {
                got.push_back(d->bytes.substr(0, d->bytes.find('\0')));
            }
        }
        sending.join();
        int answered = 0;
        for (std::size_t i = 0; i + 2 < got.size(); i += 3) {
            answered += got[i] == "honest" ? 1 : 0;
        }
        const long dropped = udp_drops(peer.port);
        peer.quit(honest);
        std::printf(
            "an honest sender beside 2,000 updates/s: %d of %d answered, %ld dropped by "
            "the kernel\n",
            answered, asked.load(), dropped);
    }
}

// The most memory any of the framing set's peers held.
void report_framing_peak_rss() {
    std::printf("peak RSS over these runs: %ld KiB\n", g_framing_peak_kib);
    std::fflush(stdout);
}

}  // namespace bench
