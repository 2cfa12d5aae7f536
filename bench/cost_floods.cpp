// [5] One host sending updates as fast as a flood: how many are answered
// and how many datagrams the kernel drops, with the receive queue lanlink
// gets here and with the one Debian's default rmem_max gives a program
// without CAP_NET_ADMIN. [6] Idle CPU and peak memory.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "cost.h"
#include "process.h"
#include "report.h"
#include "traffic.h"

namespace bench {
namespace {

using std::chrono::seconds;

// Debian's default net.core.rmem_max (and rmem_default).
constexpr int kDebianRmemMax = 212992;

std::string read_sysctl(const char* path) {
    std::ifstream in(path);
    std::string value;
    in >> value;
    return value;
}

// Counts the answers that reach kAnswerPort while it runs, and those whose
// update came before one already answered.
class AnswerCounter {
  public:
    AnswerCounter() : thread_([this] { run(); }) {}
    ~AnswerCounter() {
        stop_ = true;
        thread_.join();
    }
    AnswerCounter(const AnswerCounter&) = delete;
    AnswerCounter& operator=(const AnswerCounter&) = delete;
    AnswerCounter(AnswerCounter&&) = delete;
    AnswerCounter& operator=(AnswerCounter&&) = delete;

    long answered() const { return answered_; }
    long out_of_order() const { return out_of_order_; }
    long dropped() const {
        return static_cast<long>(testsupport::kernel_drops(kAnswerPort).value_or(0)) -
               dropped_before_;
    }

  private:
    void run() {
        constexpr unsigned kBatch = 64;
        char bufs[kBatch][64];
        iovec iov[kBatch];
        mmsghdr msgs[kBatch] = {};
        for (unsigned i = 0; i < kBatch; ++i) {
            iov[i] = {bufs[i], sizeof bufs[i]};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        const std::string up("up_resp\0\0", 9);
        const std::string first("10.0.0.2\0", 9);
        long last = -1;
        while (!stop_) {
            pollfd p{socket_.descriptor(), POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) {
                continue;
            }
            const int n = recvmmsg(socket_.descriptor(), msgs, kBatch, MSG_DONTWAIT, nullptr);
            for (int i = 0; i < n; ++i) {
                const std::string d(bufs[i], msgs[i].msg_len);
                if (d == up) {
                    ++answered_;
                } else if (d != first) {
                    const long number = std::atol(d.c_str());
                    out_of_order_ += number <= last ? 1 : 0;
                    last = number;
                }
            }
        }
    }

    testsupport::LoopbackUdp socket_{kAnswerPort};
    long dropped_before_ = static_cast<long>(testsupport::kernel_drops(kAnswerPort).value_or(0));
    std::atomic<long> answered_{0};
    std::atomic<long> out_of_order_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct FloodRun {
    long sent = 0;
    long answered = 0;
    long dropped = 0;  // by the kernel on lanlink's socket
    long answers_dropped = 0;
    long out_of_order = 0;
    double rate = 0;
    double cpu_us = 0;  // per update sent
    long peak_kib = 0;
    int queue = 0;
};

FloodRun flood_once(const CostOptions& o, const std::string& binary, bool debian) {
    FloodRun r;
    Lanlink peer = start_lanlink(binary, Output::kNull);
    const pid_t pid = peer.program->pid();
    const std::vector<int> queues = set_receive_queue(pid, peer.port, debian ? kDebianRmemMax : 0);
    r.queue = queues.empty() ? 0 : queues.front();
    std::this_thread::sleep_for(milliseconds(100));
    const long drops_before = static_cast<long>(testsupport::kernel_drops(peer.port).value_or(0));
    const double cpu_before = cpu_seconds(pid);
    {
        AnswerCounter counter;
        const testsupport::LoopbackUdp sender;
        const int total = static_cast<int>(o.flood_rate * o.flood_seconds);
        const int per_ms = o.flood_rate / 1000;
        std::vector<std::string> numbers;
        numbers.reserve(static_cast<std::size_t>(total));
        for (int i = 0; i < total; ++i) {
            numbers.push_back(z(std::to_string(i)));
        }
        const std::string address = z("10.0.0.2");
        const std::string update = z("update");
        const auto start = Clock::now();
        for (int i = 0, ms = 0; i < total; ++ms) {
            std::this_thread::sleep_until(start + milliseconds(ms));
            for (int n = 0; n < per_ms && i < total; ++n, ++i) {
                sender.send_together(peer.port, {address, numbers[static_cast<std::size_t>(i)],
                                                 update});
            }
        }
        r.sent = total;
        r.rate = total / std::chrono::duration<double>(Clock::now() - start).count();
        // The last answers leave a millisecond after their update, once the
        // queue is read.
        testsupport::wait_until_read(peer.port);
        std::this_thread::sleep_for(milliseconds(500));
        r.answered = counter.answered();
        r.out_of_order = counter.out_of_order();
        r.answers_dropped = counter.dropped();
    }
    r.cpu_us = (cpu_seconds(pid) - cpu_before) * 1e6 / static_cast<double>(r.sent);
    r.dropped = static_cast<long>(testsupport::kernel_drops(peer.port).value_or(0)) - drops_before;
    r.peak_kib = peak_rss_kib(pid);
    finish(peer, "after a flood of updates");
    return r;
}

}  // namespace

void host_flood(const CostOptions& o) {
    say("\n[5] one host sending %d updates/s for %.1f s, lanlink headless to /dev/null, %d runs; "
        "net.core.rmem_max here %s (in this network namespace, mode %s), rmem_default %s\n",
        o.flood_rate, o.flood_seconds, o.flood_runs,
        read_sysctl("/proc/sys/net/core/rmem_max").c_str(),
        access("/proc/sys/net/core/rmem_max", W_OK) == 0 ? "writable" : "read-only",
        read_sysctl("/proc/sys/net/core/rmem_default").c_str());
    say("  (Debian's default, rmem_max %d: this namespace cannot set it, so the queue is set "
        "from outside through a copy of lanlink's descriptor to what asking for 4 MiB without "
        "CAP_NET_ADMIN then gets)\n",
        kDebianRmemMax);
    std::vector<std::string> binaries = {o.now};
    if (!o.before.empty()) {
        binaries.push_back(o.before);
    }
    std::map<std::pair<std::string, bool>, std::vector<FloodRun>> runs;
    for (int run = 0; run < o.flood_runs; ++run) {
        for (const bool debian : {false, true}) {
            for (std::size_t b = 0; b < binaries.size(); ++b) {
                const std::string& binary =
                    binaries[(b + static_cast<std::size_t>(run)) % binaries.size()];
                runs[{binary, debian}].push_back(flood_once(o, binary, debian));
            }
        }
    }
    for (const bool debian : {false, true}) {
        std::map<std::string, std::vector<std::string>> cells;
        for (const std::string& binary : binaries) {
            std::vector<double> answered;
            std::vector<double> dropped;
            std::vector<double> cpu;
            std::vector<double> peak;
            std::vector<double> rate;
            long lost_answers = 0;
            long disorder = 0;
            int queue = 0;
            long sent = 0;
            for (const FloodRun& r : runs[{binary, debian}]) {
                answered.push_back(static_cast<double>(r.answered));
                dropped.push_back(static_cast<double>(r.dropped));
                cpu.push_back(r.cpu_us);
                peak.push_back(static_cast<double>(r.peak_kib) / 1024.0);
                rate.push_back(r.rate);
                lost_answers += r.answers_dropped;
                disorder += r.out_of_order;
                queue = r.queue;
                sent = r.sent;
            }
            say("  %s, %s (queue %d bytes): sent %ld at %s/s, answered %s, dropped by the "
                "kernel %s, CPU %s us per update, peak RSS %s MiB; %ld answers dropped at the "
                "benchmark's socket, %ld out of order\n",
                binary_name(binary).c_str(), debian ? "Debian's rmem_max" : "this machine's",
                queue, sent, spread(rate, "%.0f").c_str(), spread(answered, "%.0f").c_str(),
                spread(dropped, "%.0f").c_str(), spread(cpu, "%.2f").c_str(),
                spread(peak, "%.1f").c_str(), lost_answers, disorder);
            cells[binary] = {spread(answered, "%.0f") + " of " + std::to_string(sent),
                             spread(dropped, "%.0f"), spread(peak, "%.1f") + " MiB",
                             spread(cpu, "%.2f") + " us"};
        }
        const std::string tag = debian ? "5 debian rmem" : "5 default";
        const std::string flood = std::to_string(o.flood_rate) + " updates/s: ";
        const std::string measures[] = {flood + "answered", flood + "kernel drops",
                                        "peak RSS after the flood", "CPU per update in the flood"};
        for (int m = 0; m < 4; ++m) {
            figure(tag, measures[m], cells[o.now][static_cast<std::size_t>(m)],
                   o.before.empty() ? "-" : cells[o.before][static_cast<std::size_t>(m)]);
        }
    }
}

void idle_and_memory(const CostOptions& o) {
    struct Idle {
        std::string name;
        std::string binary;
        Lanlink peer;
        double cpu_before = 0;
        long switches_before = 0;
    };
    std::vector<Idle> idle;
    const auto add = [&](const std::string& binary, Output output,
                         const std::vector<std::string>& options, const char* what) {
        Idle i;
        i.name = binary_name(binary) + ", " + what;
        i.binary = binary;
        i.peer = start_lanlink(binary, output, options);
        idle.push_back(std::move(i));
    };
    std::vector<std::string> binaries = {o.now};
    if (!o.before.empty()) {
        binaries.push_back(o.before);
    }
    for (const std::string& binary : binaries) {
        add(binary, Output::kNull, {}, "headless");
        add(binary, Output::kTerminal, {}, "on a terminal");
        add(binary, Output::kTerminal, {"-p"}, "open prompt on a terminal");
    }
    if (offers(o.now, "--ipv6")) {
        add(o.now, Output::kNull, {"-4"}, "headless, -4");
        add(o.now, Output::kNull, {"-6"}, "headless, -6");
    }
    say("\n[6] idle CPU over %d s, the programs idle side by side\n", o.idle_seconds);
    std::this_thread::sleep_for(milliseconds(500));
    for (Idle& i : idle) {
        i.cpu_before = cpu_seconds(i.peer.program->pid());
        i.switches_before = context_switches(i.peer.program->pid());
    }
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(seconds(o.idle_seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    std::map<std::string, std::string> cpu_cell;
    std::map<std::string, std::string> rss_cell;
    for (Idle& i : idle) {
        const pid_t pid = i.peer.program->pid();
        const double cpu = 100.0 * (cpu_seconds(pid) - i.cpu_before) / wall;
        const long switches = context_switches(pid) - i.switches_before;
        const long peak = peak_rss_kib(pid);
        say("  %-44s %.4f%% of a core, %ld context switches, peak RSS %.1f MiB\n", i.name.c_str(),
            cpu, switches, peak / 1024.0);
        char text[96];
        std::snprintf(text, sizeof text, "%.4f%% (%ld switches)", cpu, switches);
        cpu_cell[i.name] = text;
        std::snprintf(text, sizeof text, "%.1f MiB", peak / 1024.0);
        rss_cell[i.name] = text;
        finish(i.peer, "after the idle spell");
    }
    for (const char* what : {"headless", "on a terminal", "open prompt on a terminal"}) {
        const std::string now = "lanlink now, " + std::string(what);
        const std::string before = "lanlink before, " + std::string(what);
        figure("6", std::string("idle CPU, ") + what, cpu_cell[now],
               o.before.empty() ? "-" : cpu_cell[before]);
        figure("6", std::string("RSS idle, ") + what, rss_cell[now],
               o.before.empty() ? "-" : rss_cell[before]);
    }
    for (const char* what : {"headless, -4", "headless, -6"}) {
        const std::string now = "lanlink now, " + std::string(what);
        if (cpu_cell.count(now) != 0) {
            figure("7", std::string("idle CPU, ") + what, cpu_cell[now]);
            figure("7", std::string("RSS idle, ") + what, rss_cell[now]);
        }
    }
}

}  // namespace bench
