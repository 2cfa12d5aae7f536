// Measures lanlink on loopback: idle CPU, how fast a key is noticed, the
// update round trip (idle, with a key pending, with a line being typed) and
// its CPU cost beside a plain C responder, two senders at once,
// how fast a quit ends it, bursts and paced vectors, the zero-loss receive
// rate against a bare SDL_net receive loop, a flood while the prompt is open,
// and peak memory. It binds 127.0.0.1:4556 to collect answers, so nothing
// else may hold that port.
//
//   lanlink_bench [idle_seconds [lanlink_binary [line_seconds [framing]]]]
//   (defaults: 10 s idle, this build's lanlink, a line open for 60 s;
//   "framing" runs only the measures of how vectors are put together)
#include <SDL_net.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "child.h"
#include "peer.h"
#include "process.h"
#include "responders.h"
#include "screen.h"
#include "udp.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::bare_receiver;
using bench::c_responder;
using bench::context_switches;
using bench::cpu_seconds;
using bench::g_binary;
using bench::headless_to_null;
using bench::kAnswerPort;
using bench::paced;
using bench::peak_rss_kib;
using bench::Peer;
using bench::percentile;
using bench::start;
using bench::udp_drops;
using std::chrono::milliseconds;
using testsupport::Child;
using testsupport::Input;
using testsupport::LoopbackUdp;
using testsupport::z;

double idle_cpu_percent(Peer& peer, int seconds) {
    const double before = cpu_seconds(peer.child->pid());
    const auto t0 = Clock::now();
    peer.child->read_for(milliseconds(seconds * 1000));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    return 100.0 * (cpu_seconds(peer.child->pid()) - before) / wall;
}

// From the request's vector send to the third answer datagram; requests
// `gap` apart (0: each as soon as the last is answered).
std::vector<double> round_trips(Peer& peer, const LoopbackUdp& sender, const LoopbackUdp& answers,
                                int count, int& lost, milliseconds gap = milliseconds(0)) {
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

void quit_time(Peer& peer, const LoopbackUdp& sender, const char* state) {
    const auto t0 = Clock::now();
    sender.send_vector(peer.port, z("a"), z("b"), z("quit"));
    // The last words of the shut-down, written as the program returns.
    peer.child->wait_for("terminating server...Done!", milliseconds(3000));
    std::printf("quit ends the program (%s): %.1f ms\n", state,
                std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    peer.child->wait_exit(milliseconds(3000));
}

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

// The framing measures, on their own.
void framing(const LoopbackUdp& answers) {
    drop_during_flood(3);
    stray_datagram(answers);
    for (const int count : {64, 65, 200, 1000}) {
        interleaved_senders(answers, count);
    }
    update_flood(answers, 5000, 2);
    std::printf("peak RSS over these runs: %ld KiB\n", g_framing_peak_kib);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
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
    std::printf("idle CPU headless: %.4f%% of a core over %d s\n",
                idle_cpu_percent(headless, idle_seconds), idle_seconds);
    Peer terminal = start(Input::kTerminal);
    std::printf("idle CPU on a terminal: %.4f%% of a core over %d s\n",
                idle_cpu_percent(terminal, idle_seconds), idle_seconds);
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
    std::printf("peak RSS: %ld KiB headless, %ld KiB on a terminal\n",
                peak_rss_kib(headless.child->pid()), peak_rss_kib(terminal.child->pid()));
    std::fflush(stdout);

    quit_time(headless, sender, "headless");
    terminal.child->write("x");
    testsupport::wait_for_raw(terminal.child->terminal(), true);
    quit_time(terminal, sender, "a stray key pending");
    Peer typing = start(Input::kTerminal);
    testsupport::open_prompt(*typing.child);
    typing.child->write("hel");
    quit_time(typing, sender, "a line being typed");
    std::fflush(stdout);

    receive_rates(sender);
    return 0;
}
