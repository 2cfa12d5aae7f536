// [3] The time from a key written to a terminal's master side to its echo,
// at lanlink's two prompts (now and before) beside cat on a cooked
// terminal, key by key in turn. [4] A pipe of send lines into the open
// prompt: how fast they all go out, in order.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "cost.h"
#include "peer.h"
#include "process.h"
#include "report.h"

namespace bench {
namespace {

using std::chrono::seconds;

struct EchoTarget {
    std::string name;
    std::unique_ptr<Child> child;
    std::vector<double> micros;
};

}  // namespace

void key_echo_beside_cat(const CostOptions& o) {
    say("\n[3] key to its echo, %d keys each, key by key in turn: the classic prompt (a key and "
        "Enter open it), the open prompt (-p) and cat on a cooked terminal\n",
        o.echo_keys);
    std::vector<EchoTarget> targets;
    std::vector<std::string> binaries = {o.now};
    if (!o.before.empty()) {
        binaries.push_back(o.before);
    }
    for (const std::string& binary : binaries) {
        for (const bool open : {false, true}) {
            const std::uint16_t port = testsupport::free_udp_port();
            std::vector<std::string> argv = {binary};
            if (open) {
                argv.emplace_back("-p");
            }
            argv.insert(argv.end(), {"127.0.0.1", "9", std::to_string(port)});
            auto child = std::make_unique<Child>(argv, Input::kTerminal);
            bool ready = child->wait_for("[Y/n] ", seconds(10));
            if (ready) {
                child->write("y\n");
                ready = child->wait_for("recieving packets...Success!", seconds(10));
            }
            if (ready) {
                ready = open ? child->wait_for("$ ", seconds(10)) : testsupport::open_prompt(*child);
            }
            const std::string name =
                binary_name(binary) + (open ? ", open prompt" : ", classic prompt");
            if (!ready) {
                oddity(name + ": the prompt did not open");
                continue;
            }
            targets.push_back({name, std::move(child), {}});
        }
    }
    auto cat = std::make_unique<Child>(std::vector<std::string>{"/bin/cat"}, Input::kTerminal);
    std::this_thread::sleep_for(milliseconds(200));
    targets.push_back({"cat (cooked terminal)", std::move(cat), {}});
    const std::size_t k = targets.size();
    for (int i = 0; i < o.echo_keys; ++i) {
        const char key = static_cast<char>('a' + i % 26);
        for (std::size_t n = 0; n < k; ++n) {
            EchoTarget& t = targets[(static_cast<std::size_t>(i) + n) % k];
            t.child->take();
            const auto t0 = Clock::now();
            t.child->write(std::string(1, key));
            if (t.child->wait_for(std::string(1, key), milliseconds(1000))) {
                t.micros.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            }
            std::this_thread::sleep_for(milliseconds(2));
        }
    }
    const double cat_median = median(targets.back().micros);
    for (EchoTarget& t : targets) {
        say("  %-32s %s us (min/median/max), p90 %.0f us, %zu of %d echoed; median/cat's %.2f\n",
            t.name.c_str(), spread(t.micros, "%.0f").c_str(), percentile(t.micros, 0.9),
            t.micros.size(), o.echo_keys, cat_median > 0 ? median(t.micros) / cat_median : 0.0);
        if (t.micros.size() < static_cast<std::size_t>(o.echo_keys)) {
            oddity(t.name + ": " + std::to_string(o.echo_keys - static_cast<int>(t.micros.size())) +
                   " keys not echoed within 1 s");
        }
        if (t.name.rfind("cat", 0) == 0) {
            t.child->write("\x15\x04");  // Ctrl-U, then the end of input
        } else {
            t.child->write(
                "\x15"
                "exit\n");
        }
    }
    for (EchoTarget& t : targets) {
        t.child->wait_exit(milliseconds(3000));
    }
    std::map<std::string, std::string> cell;
    for (const EchoTarget& t : targets) {
        cell[t.name] = spread(t.micros, "%.0f") + " us";
    }
    for (const char* prompt : {", classic prompt", ", open prompt"}) {
        figure("3", std::string("key echo") + prompt, cell[std::string("lanlink now") + prompt],
               o.before.empty() ? "-" : cell[std::string("lanlink before") + prompt]);
    }
    figure("3", "key echo, cat on a cooked terminal", cell["cat (cooked terminal)"], "(same run)");
}

void piped_sends(const CostOptions& o) {
    say("\n[4] %d 'send mN' lines piped into lanlink -y -p: from the first line written to the "
        "last datagram received, %d runs, now and before in turn\n",
        o.pipe_lines, o.pipe_runs);
    std::vector<std::string> binaries = {o.now};
    if (!o.before.empty()) {
        binaries.push_back(o.before);
    }
    std::string text;
    for (int i = 0; i < o.pipe_lines; ++i) {
        text += "send m" + std::to_string(i) + "\n";
    }
    struct Runs {
        std::vector<double> seconds;
        std::vector<double> cpu_us;
        int all_in_order = 0;
        int status_zero = 0;
    };
    std::map<std::string, Runs> runs;
    for (int run = 0; run < o.pipe_runs; ++run) {
        for (std::size_t b = 0; b < binaries.size(); ++b) {
            const std::string& binary = binaries[(b + static_cast<std::size_t>(run)) % binaries.size()];
            const LoopbackUdp other;
            const std::uint16_t port = testsupport::free_udp_port();
            Child child({binary, "-y", "-p", "127.0.0.1", std::to_string(other.port()),
                         std::to_string(port)},
                        Input::kPipe);
            if (!child.wait_for("recieving packets...Success!", seconds(10))) {
                oddity(binary_name(binary) + " -y -p from a pipe did not start");
                continue;
            }
            const double cpu_before = cpu_seconds(child.pid());
            const auto t0 = Clock::now();
            std::thread typing([&child, &text] {
                child.write(text);
                child.close_input();
            });
            int in_order = 0;
            int got = 0;
            auto last = t0;
            double cpu = 0;
            for (int i = 0; i < 3 * o.pipe_lines; ++i) {
                const auto d = other.receive(milliseconds(3000));
                if (!d) {
                    break;
                }
                ++got;
                last = Clock::now();
                if (i % 3 == 2 && d->bytes == z("m" + std::to_string(i / 3))) {
                    ++in_order;
                }
                if (i % 300 == 0) {
                    child.drain();
                }
            }
            cpu = cpu_seconds(child.pid()) - cpu_before;
            typing.join();
            const int status = testsupport::exit_code(child.wait_exit(milliseconds(10000)));
            const long dropped = static_cast<long>(testsupport::kernel_drops(other.port()).value_or(0));
            Runs& r = runs[binary];
            r.seconds.push_back(std::chrono::duration<double>(last - t0).count());
            r.cpu_us.push_back(cpu * 1e6 / o.pipe_lines);
            r.all_in_order += in_order == o.pipe_lines ? 1 : 0;
            r.status_zero += status == 0 ? 1 : 0;
            if (in_order != o.pipe_lines || status != 0) {
                oddity(binary_name(binary) + ": a pipe of " + std::to_string(o.pipe_lines) +
                       " send lines: " + std::to_string(in_order) + " in order, " +
                       std::to_string(got) + " datagrams, " + std::to_string(dropped) +
                       " dropped at the receiver, status " + std::to_string(status));
            }
        }
    }
    for (const std::string& binary : binaries) {
        const Runs& r = runs[binary];
        say("  %-15s %s s to the last datagram (%.0f sends/s at the median), CPU %s us per send; "
            "all in order in %d of %zu runs, status 0 in %d\n",
            binary_name(binary).c_str(), spread(r.seconds, "%.3f").c_str(),
            median(r.seconds) > 0 ? o.pipe_lines / median(r.seconds) : 0.0,
            spread(r.cpu_us, "%.1f").c_str(), r.all_in_order, r.seconds.size(), r.status_zero);
    }
    const auto cell = [&](const std::string& binary, int what) -> std::string {
        if (binary.empty()) {
            return "-";
        }
        const Runs& r = runs[binary];
        if (what == 0) {
            return spread(r.seconds, "%.3f") + " s";
        }
        if (what == 1) {
            return spread(r.cpu_us, "%.1f") + " us";
        }
        return std::to_string(r.all_in_order) + " of " + std::to_string(r.seconds.size()) +
               " runs all in order, status 0";
    };
    figure("4", std::to_string(o.pipe_lines) + " piped sends: to the last datagram", cell(o.now, 0), cell(o.before, 0));
    figure("4", "piped sends: CPU per send", cell(o.now, 1), cell(o.before, 1));
    figure("4", "piped sends: complete", cell(o.now, 2), cell(o.before, 2));
}

}  // namespace bench
