// What this round's options cost, each against lanlink without it in the
// same run: [7] a sender on ::1 against one on 127.0.0.1, [8] a shared key
// (updates, forged against taken vectors, memory under a flood of sender
// ids), [9] --json against text to a pipe, and a capture (-w) against none.
// The previous state has none of these options: only "now" is measured.
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "cost.h"
#include "process.h"
#include "report.h"
#include "responders.h"
#include "traffic.h"

namespace bench {
namespace {

using std::chrono::seconds;

std::array<std::string, 3> hello(int i) {
    return plain_vector("10.0.0.2", std::to_string(i), "hello");
}

// Per-vector CPU of two programs, phase by phase in turn (the first of each
// run alternating): `a`'s over `b`'s per run.
struct PhasePair {
    std::vector<double> a;
    std::vector<double> b;
    long dropped = 0;
    double rate = 0;
};

template <typename Phase>
void phase_pair(int runs, PhasePair& pair, Phase phase, int first_run = 0) {
    for (int run = first_run; run < first_run + runs; ++run) {
        const bool a_first = run % 2 == 0;
        for (const bool a : {a_first, !a_first}) {
            const FloodFigures f = phase(a);
            (a ? pair.a : pair.b).push_back(f.cpu_us);
            pair.dropped += f.dropped;
            pair.rate = f.rate;
        }
    }
}

// Records in a pcap file; -1 when it is not one.
long pcap_records(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char header[24];
    if (!in.read(reinterpret_cast<char*>(header), sizeof header)) {
        return -1;
    }
    std::uint32_t magic = 0;
    std::memcpy(&magic, header, 4);
    const bool swapped = magic == 0xd4c3b2a1U || magic == 0x4d3cb2a1U;
    if (!swapped && magic != 0xa1b2c3d4U && magic != 0xa1b23c4dU) {
        return -1;
    }
    long records = 0;
    unsigned char record[16];
    while (in.read(reinterpret_cast<char*>(record), sizeof record)) {
        std::uint32_t length = 0;
        std::memcpy(&length, record + 8, 4);
        if (swapped) {
            length = __builtin_bswap32(length);
        }
        in.seekg(length, std::ios::cur);
        if (!in) {
            break;
        }
        ++records;
    }
    return records;
}

void say_pair(const char* label, const char* a, const char* b, const PhasePair& pair,
              const std::string& tag, const std::string& measure) {
    const std::string r = spread(ratios(pair.a, pair.b), "%.2f");
    say("  %s: %s %s us, %s %s us per vector; ratio %s (%.0f vectors/s, %ld dropped)\n", label, a,
        spread(pair.a, "%.2f").c_str(), b, spread(pair.b, "%.2f").c_str(), r.c_str(), pair.rate,
        pair.dropped);
    figure(tag, measure + " (us/vector)",
           std::string(a) + " " + spread(pair.a, "%.2f") + ", " + b + " " + spread(pair.b, "%.2f"));
    figure(tag, measure + " ratio", r);
    if (pair.dropped > 0) {
        oddity(std::string(label) + ": " + std::to_string(pair.dropped) +
               " datagrams dropped by the kernel at " + std::to_string(static_cast<int>(pair.rate)) +
               " vectors/s");
    }
}

// Updates to two lanlinks (and the blocking responder), update by update in
// turn over `runs` fresh runs; `start` makes the two, `a` first.
struct UpdatePair {
    std::vector<double> cpu[2];
    std::vector<double> median[2];
    std::vector<double> p99[2];
    std::vector<double> switches[2];
    std::vector<double> responder_cpu;
    long lost[2] = {0, 0};
    long unverified = 0;
};

void report_update_pair(const UpdatePair& p, const char* a, const char* b, const std::string& tag) {
    for (int i = 0; i < 2; ++i) {
        say("  %-12s CPU %s us/update, switches %s, RTT median %s us, p99 %s us, %ld lost\n",
            i == 0 ? a : b, spread(p.cpu[i], "%.1f").c_str(), spread(p.switches[i], "%.2f").c_str(),
            spread(p.median[i], "%.0f").c_str(), spread(p.p99[i], "%.0f").c_str(), p.lost[i]);
    }
    if (!p.responder_cpu.empty()) {
        say("  %-12s CPU %s us/update\n", "C blocking", spread(p.responder_cpu, "%.1f").c_str());
    }
    const std::string cpu = spread(ratios(p.cpu[0], p.cpu[1]), "%.2f");
    const std::string rtt = spread(ratios(p.median[0], p.median[1]), "%.3f");
    say("  ratio %s/%s per run: CPU %s, RTT median %s\n", a, b, cpu.c_str(), rtt.c_str());
    figure(tag, std::string("CPU us/update ") + a + " / " + b,
           spread(p.cpu[0], "%.1f") + " / " + spread(p.cpu[1], "%.1f"));
    figure(tag, std::string("CPU per update ratio ") + a + "/" + b, cpu);
    figure(tag, std::string("RTT median ratio ") + a + "/" + b, rtt);
    figure(tag, std::string("RTT p99 us ") + a + " / " + b,
           spread(p.p99[0], "%.0f") + " / " + spread(p.p99[1], "%.0f"));
    if (p.lost[0] + p.lost[1] > 0) {
        oddity(std::string(a) + " / " + b + ": " + std::to_string(p.lost[0]) + " / " +
               std::to_string(p.lost[1]) + " updates unanswered within 200 ms");
    }
}

void record(UpdatePair& p, int i, const UpdateFigures& f) {
    p.cpu[i].push_back(f.cpu_us);
    p.median[i].push_back(f.median_us);
    p.p99[i].push_back(f.p99_us);
    p.switches[i].push_back(f.switches);
    p.lost[i] += f.lost;
    p.unverified += f.unverified;
}

}  // namespace

void families(const CostOptions& o) {
    if (!offers(o.now, "--ipv6") || !testsupport::have_ipv6()) {
        say("\n[7] IPv6 against IPv4: not measured (%s)\n",
            testsupport::have_ipv6() ? "this lanlink has no IPv6" : "no IPv6 here");
        return;
    }
    say("\n[7] IPv6 against IPv4: the sender on ::1 or on 127.0.0.1, to lanlink now listening on "
        "both (headless, /dev/null), %d runs\n",
        o.option_runs);
    UpdatePair updates;
    {
        UpdateClient client(o.together);
        for (int run = 0; run < o.option_runs; ++run) {
            Lanlink a = start_lanlink(o.now, Output::kNull);
            Lanlink b = start_lanlink(o.now, Output::kNull);
            // The two programs take turns at being asked over IPv6.
            Lanlink& v6 = run % 2 == 0 ? a : b;
            Lanlink& v4 = run % 2 == 0 ? b : a;
            const std::vector<UpdateTarget> targets = {
                {"IPv6", v6.program->pid(), v6.port, AF_INET6},
                {"IPv4", v4.program->pid(), v4.port, AF_INET}};
            for (const UpdateTarget& t : targets) {
                client.warm_up(t, 5, seconds(10));
            }
            const auto f = client.interleaved(targets, o.option_updates, run);
            record(updates, 0, f[0]);
            record(updates, 1, f[1]);
            finish(a, "IPv6 against IPv4");
            finish(b, "IPv6 against IPv4");
        }
    }
    report_update_pair(updates, "IPv6", "IPv4", "7");
    Lanlink peer = start_lanlink(o.now, Output::kNull);
    const testsupport::LoopbackUdp v4;
    const testsupport::LoopbackUdp v6(0, false, 1, AF_INET6);
    PhasePair vectors;
    int base = 0;
    phase_pair(o.option_runs, vectors, [&](bool a) {
        base += o.phase_vectors;
        return flood(peer.program->pid(), peer.port, a ? v6 : v4, o.phase_vectors, o.phase_rate,
                     [base](int i) { return hello(base + i); });
    });
    say_pair("IPv6 against IPv4", "IPv6", "IPv4", vectors, "7", "CPU per vector IPv6 / IPv4");
    const long peak = peak_rss_kib(peer.program->pid());
    say("  peak RSS after both floods: %.1f MiB\n", peak / 1024.0);
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", peak / 1024.0);
    figure("7", "peak RSS after the IPv4 and IPv6 floods", text);
    finish(peer, "IPv6 against IPv4, floods");
}

void shared_key(const CostOptions& o) {
    if (!offers(o.now, "--key")) {
        say("\n[8] a shared key: not measured (this lanlink has no -k)\n");
        return;
    }
    const std::string path = scratch_dir() + "/shared.key";
    {
        Program maker({o.now, "--new-key", path}, Output::kNull);
        const auto status = maker.wait_exit(seconds(10));
        struct stat file {};
        if (!status || *status != 0 || stat(path.c_str(), &file) != 0) {
            oddity("lanlink --new-key " + path + " made no key: " + describe_status(status));
            return;
        }
        say("\n[8] a shared key: lanlink --new-key made %s (mode %04o, %lld bytes); %d runs\n",
            path.c_str(), file.st_mode & 07777U, static_cast<long long>(file.st_size),
            o.option_runs);
    }
    std::string error;
    const std::unique_ptr<net::Shared_Key> key = net::Shared_Key::load(path, error);
    if (!key) {
        oddity("the benchmark cannot read the key lanlink made: " + error);
        return;
    }
    UpdateClient client(o.together);
    UpdatePair updates;
    for (int run = 0; run < o.option_runs; ++run) {
        Lanlink keyed = start_lanlink(o.now, Output::kNull, {"-k", path}, key.get());
        Lanlink plain = start_lanlink(o.now, Output::kNull);
        const std::uint16_t port = testsupport::free_udp_port();
        Program responder(responder_command(port, Wait::kBlocking, false), Output::kNull);
        wait_bound(port, seconds(10));
        const std::vector<UpdateTarget> targets = {
            {"keyed", keyed.program->pid(), keyed.port, AF_INET, key.get()},
            {"plain", plain.program->pid(), plain.port},
            {"C blocking", responder.pid(), port}};
        for (const UpdateTarget& t : targets) {
            client.warm_up(t, 5, seconds(10));
        }
        const auto f = client.interleaved(targets, o.option_updates, run);
        record(updates, 0, f[0]);
        record(updates, 1, f[1]);
        updates.responder_cpu.push_back(f[2].cpu_us);
        finish(keyed, "keyed updates");
        finish(plain, "keyed updates");
    }
    say("  updates sealed by the benchmark, each answer's tag verified (%ld did not verify):\n",
        updates.unverified);
    report_update_pair(updates, "keyed", "plain", "8");
    figure("8", "keyed answers whose tag did not verify", std::to_string(updates.unverified));
    if (updates.unverified > 0) {
        oddity(std::to_string(updates.unverified) + " keyed answers did not verify");
    }

    // Forged against taken, phase by phase, to one keyed lanlink.
    {
        Lanlink keyed = start_lanlink(o.now, Output::kNull, {"-k", path}, key.get());
        const testsupport::LoopbackUdp from;
        PhasePair vectors;
        std::uint64_t counter = 0;
        phase_pair(o.option_runs, vectors, [&](bool forged) {
            const std::uint64_t first = counter;
            counter += static_cast<std::uint64_t>(o.phase_vectors);
            return flood(keyed.program->pid(), keyed.port, from, o.phase_vectors, o.phase_rate,
                         [&key, first, forged](int i) {
                             return sealed_vector(*key, 42, first + static_cast<std::uint64_t>(i),
                                                  "10.0.0.2", std::to_string(i), "hello", forged);
                         });
        });
        say_pair("forged (bad tag) against taken", "forged", "taken", vectors, "8",
                 "CPU per vector forged / taken");
        const UpdateTarget sealed{"keyed", keyed.program->pid(), keyed.port, AF_INET, key.get()};
        UpdateTarget forged = sealed;
        forged.forge = true;
        UpdateTarget unsealed = sealed;
        unsealed.key = nullptr;
        const bool forged_answered = client.ask(forged);
        const bool unsealed_answered = client.ask(unsealed);
        const bool sealed_answered = client.ask(sealed);
        say("  then a forged update answered: %s; an unsealed one: %s; a sealed one: %s\n",
            forged_answered ? "yes" : "no", unsealed_answered ? "yes" : "no",
            sealed_answered ? "yes" : "no");
        if (forged_answered || unsealed_answered || !sealed_answered) {
            oddity("keyed lanlink answered a forged or unsealed update, or not a sealed one");
        }
        finish(keyed, "forged against taken");
    }

    // A flood from many sender ids with forged vectors among them: the most
    // memory the replay window and the rest take, beside lanlink without a
    // key sent the same.
    {
        const int total = o.keyed_senders * o.keyed_per_sender * 2;
        std::string cells[2];
        for (const bool with_key : {true, false}) {
            Lanlink peer = with_key
                               ? start_lanlink(o.now, Output::kNull, {"-k", path}, key.get())
                               : start_lanlink(o.now, Output::kNull);
            const long idle = peak_rss_kib(peer.program->pid());
            const testsupport::LoopbackUdp from;
            const int senders = o.keyed_senders;
            const FloodFigures f = flood(
                peer.program->pid(), peer.port, from, total, o.phase_rate, [&key, senders](int i) {
                    const int n = i / 2;
                    const auto sender = static_cast<std::uint64_t>(1000 + n % senders);
                    // Counters far apart, so that each sender's window moves.
                    const auto counter = static_cast<std::uint64_t>(n / senders) * 500U;
                    return sealed_vector(*key, sender, counter, "10.0.0.2", std::to_string(i),
                                         "hello", i % 2 == 1);
                });
            const long peak = peak_rss_kib(peer.program->pid());
            UpdateTarget alive{"alive", peer.program->pid(), peer.port, AF_INET,
                               with_key ? key.get() : nullptr};
            const bool answered = client.ask(alive);
            say("  %s: %d vectors from %d sender ids, half of them forged, at %.0f/s: peak RSS "
                "%.1f MiB (%.1f MiB before), %ld dropped, CPU %.2f us per vector; an update then "
                "answered: %s\n",
                with_key ? "keyed" : "without a key", total, o.keyed_senders, f.rate,
                peak / 1024.0, idle / 1024.0, f.dropped, f.cpu_us, answered ? "yes" : "no");
            char text[96];
            std::snprintf(text, sizeof text, "%.1f MiB (%.1f before)", peak / 1024.0,
                          idle / 1024.0);
            cells[with_key ? 0 : 1] = text;
            if (!answered) {
                oddity(std::string(with_key ? "keyed" : "plain") +
                       " lanlink did not answer an update after the sender-id flood");
            }
            finish(peer, "after the sender-id flood");
        }
        figure("8", "peak RSS, " + std::to_string(o.keyed_senders) + " sender ids + forged, keyed",
               cells[0]);
        figure("8", "peak RSS, the same flood, without a key", cells[1]);
    }
}

void json_and_capture(const CostOptions& o) {
    if (offers(o.now, "--json")) {
        say("\n[9] --json against text, standard output a pipe the benchmark reads, %d runs of "
            "%d vectors each\n",
            o.option_runs, o.phase_vectors);
        Lanlink json = start_lanlink(o.now, Output::kPipe, {"--json"});
        Lanlink text = start_lanlink(o.now, Output::kPipe);
        json.program->watch("not_shown");
        text.program->watch("not shown");
        PhasePair vectors;
        long long bytes[2] = {0, 0};
        int base = 0;
        phase_pair(o.option_runs, vectors, [&](bool a) {
            Lanlink& peer = a ? json : text;
            const long long before = peer.program->bytes_out();
            base += o.phase_vectors;
            const FloodFigures f = flood(peer.program->pid(), peer.port,
                                         testsupport::LoopbackUdp(), o.phase_vectors,
                                         o.phase_rate, [base](int i) { return hello(base + i); });
            bytes[a ? 0 : 1] += peer.program->bytes_out() - before;
            return f;
        });
        say_pair("--json against text to a pipe", "--json", "text", vectors, "9",
                 "CPU per vector --json / text");
        const double sent = static_cast<double>(o.option_runs) * o.phase_vectors;
        say("  bytes written per vector: --json %.0f, text %.0f; a not-shown count: --json %s, "
            "text %s\n",
            static_cast<double>(bytes[0]) / sent, static_cast<double>(bytes[1]) / sent,
            json.program->said("not_shown") ? "yes" : "no",
            text.program->said("not shown") ? "yes" : "no");
        finish(json, "--json to a pipe");
        finish(text, "text to a pipe");
    } else {
        say("\n[9] --json: not measured (this lanlink has no --json)\n");
    }
    if (!offers(o.now, "--capture")) {
        say("  -w: not measured (this lanlink has no -w)\n");
        return;
    }
    say("\n[9] -w FILE against no capture, headless to /dev/null, %d runs: updates update by "
        "update in turn, then vectors phase by phase\n",
        o.option_runs);
    UpdatePair updates;
    PhasePair vectors;
    std::vector<double> captured;
    std::vector<double> expected;
    {
        UpdateClient client(o.together);
        for (int run = 0; run < o.option_runs; ++run) {
            const std::string file = scratch_dir() + "/capture-" + std::to_string(run) + ".pcap";
            Lanlink capturing = start_lanlink(o.now, Output::kNull, {"-w", file});
            Lanlink plain = start_lanlink(o.now, Output::kNull);
            const std::uint16_t port = testsupport::free_udp_port();
            Program responder(responder_command(port, Wait::kBlocking, false), Output::kNull);
            wait_bound(port, seconds(10));
            const std::vector<UpdateTarget> targets = {
                {"-w", capturing.program->pid(), capturing.port},
                {"plain", plain.program->pid(), plain.port},
                {"C blocking", responder.pid(), port}};
            for (const UpdateTarget& t : targets) {
                client.warm_up(t, 5, seconds(10));
            }
            const auto f = client.interleaved(targets, o.option_updates, run);
            record(updates, 0, f[0]);
            record(updates, 1, f[1]);
            updates.responder_cpu.push_back(f[2].cpu_us);
            int base = 0;
            phase_pair(
                1, vectors,
                [&](bool a) {
                    Lanlink& peer = a ? capturing : plain;
                    base += o.phase_vectors;
                    return flood(peer.program->pid(), peer.port, testsupport::LoopbackUdp(),
                                 o.phase_vectors, o.phase_rate,
                                 [base](int i) { return hello(base + i); });
                },
                run);
            const long asked = client.sent_to(capturing.port);
            finish(capturing, "-w");
            finish(plain, "-w");
            // In: every update and vector, and the quit; out: every answer.
            expected.push_back(static_cast<double>(3 * asked + 3L * o.phase_vectors + 3 +
                                                   3L * (asked - f[0].lost)));
            captured.push_back(static_cast<double>(pcap_records(file)));
            std::remove(file.c_str());
        }
    }
    report_update_pair(updates, "-w", "plain", "9 -w");
    say_pair("-w against no capture", "-w", "plain", vectors, "9 -w", "CPU per vector -w / plain");
    say("  records in the capture: %s, of %s datagrams in and out\n",
        spread(captured, "%.0f").c_str(), spread(expected, "%.0f").c_str());
    figure("9 -w", "capture records / datagrams in and out",
           spread(captured, "%.0f") + " / " + spread(expected, "%.0f"));
    for (std::size_t i = 0; i < captured.size(); ++i) {
        if (captured[i] != expected[i]) {
            oddity("the capture of run " + std::to_string(i + 1) + " holds " +
                   std::to_string(static_cast<long>(captured[i])) + " records for " +
                   std::to_string(static_cast<long>(expected[i])) + " datagrams in and out");
        }
    }
}

}  // namespace bench
