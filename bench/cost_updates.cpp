// [1] What an answered update costs lanlink (now and before) beside three C
// responders, all started afresh in every run and sent updates in turn,
// update by update: headless with standard output /dev/null, headless
// with output to a file, and on a pseudo-terminal each. [2] The outside
// measure, update_cost.py, run in the same run, its figures beside ours.
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "cost.h"
#include "report.h"
#include "responders.h"
#include "traffic.h"

namespace bench {
namespace {

using std::chrono::seconds;

const char* setting_name(Output setting) {
    switch (setting) {
        case Output::kNull:
            return "headless, output /dev/null";
        case Output::kFile:
            return "headless, output to a file (the responders print there too)";
        case Output::kTerminal:
            return "on a terminal, each printing there";
        case Output::kPipe:
            break;
    }
    return "output to a pipe";
}

const char* setting_tag(Output setting) {
    return setting == Output::kNull ? "1 null" : setting == Output::kFile ? "1 file" : "1 tty";
}

// Every run's figures of one program.
struct Series {
    std::vector<double> cpu;
    std::vector<double> switches;
    std::vector<double> median;
    std::vector<double> p99;
    long answered = 0;
    long lost = 0;
};

}  // namespace

void update_costs(const CostOptions& o, Output setting) {
    const bool print = setting != Output::kNull;
    std::vector<std::string> names = {"lanlink now"};
    if (!o.before.empty()) {
        names.emplace_back("lanlink before");
    }
    const Wait waits[] = {Wait::kBlocking, Wait::kPolling, Wait::kFloor};
    for (const Wait wait : waits) {
        names.push_back(std::string("C ") + wait_name(wait));
    }
    say("\n[1] CPU per answered update beside the C responders, %s: %d runs x %d updates to "
        "each, update by update in turn\n",
        setting_name(setting), o.update_runs, o.updates);
    std::map<std::string, Series> series;
    long strays = 0;
    {
        UpdateClient client(o.together);
        for (int run = 0; run < o.update_runs; ++run) {
            std::vector<Lanlink> peers;
            peers.push_back(start_lanlink(o.now, setting));
            if (!o.before.empty()) {
                peers.push_back(start_lanlink(o.before, setting));
            }
            std::vector<std::unique_ptr<Program>> responders;
            std::vector<UpdateTarget> targets;
            for (std::size_t i = 0; i < peers.size(); ++i) {
                targets.push_back({names[i], peers[i].program->pid(), peers[i].port});
            }
            for (const Wait wait : waits) {
                const std::uint16_t port = testsupport::free_udp_port();
                const std::string file =
                    scratch_dir() + "/responder-" + std::to_string(port) + ".out";
                responders.push_back(
                    std::make_unique<Program>(responder_command(port, wait, print), setting, file));
                wait_bound(port, seconds(10));
                targets.push_back({std::string("C ") + wait_name(wait), responders.back()->pid(),
                                   port});
            }
            for (const UpdateTarget& target : targets) {
                if (!client.warm_up(target, 5, seconds(10))) {
                    oddity(target.name + " answered no 5 updates in a row within 10 s (" +
                           setting_name(setting) + ")");
                }
            }
            const std::vector<UpdateFigures> figures = client.interleaved(targets, o.updates, run);
            for (std::size_t j = 0; j < targets.size(); ++j) {
                Series& s = series[targets[j].name];
                s.cpu.push_back(figures[j].cpu_us);
                s.switches.push_back(figures[j].switches);
                s.median.push_back(figures[j].median_us);
                s.p99.push_back(figures[j].p99_us);
                s.answered += figures[j].answered;
                s.lost += figures[j].lost;
                if (figures[j].lost > 0 && targets[j].name.rfind("lanlink", 0) == 0) {
                    oddity(targets[j].name + " left " + std::to_string(figures[j].lost) + " of " +
                           std::to_string(o.updates) + " updates unanswered within 200 ms (" +
                           setting_name(setting) + ", run " + std::to_string(run + 1) + ")");
                }
            }
            for (Lanlink& peer : peers) {
                finish(peer, setting_name(setting));
            }
        }
        strays = client.strays();
    }
    say("  %-15s %-22s %-20s %-22s %-22s %s\n", "", "CPU us/update", "switches/update",
        "RTT median us", "RTT p99 us", "answered/lost");
    for (const std::string& name : names) {
        const Series& s = series[name];
        say("  %-15s %-22s %-20s %-22s %-22s %ld/%ld\n", name.c_str(),
            spread(s.cpu, "%.1f").c_str(), spread(s.switches, "%.2f").c_str(),
            spread(s.median, "%.0f").c_str(), spread(s.p99, "%.0f").c_str(), s.answered, s.lost);
    }
    if (strays > 0) {
        say("  (%ld answer datagrams came after their update was given up)\n", strays);
    }
    const Series& blocking = series["C blocking"];
    const Series& polling = series["C polling"];
    const Series& floor = series["C floor"];
    const char* tag = setting_tag(setting);
    const auto both = [&](const std::string& measure, const std::string& of_now,
                          const std::string& of_before) {
        figure(tag, measure, of_now, o.before.empty() ? "-" : of_before);
    };
    const Series& now = series["lanlink now"];
    const Series& before = series["lanlink before"];
    say("  ratios per run (min/median/max):\n");
    const struct {
        const char* label;
        const Series* base;
    } bases[] = {{"blocking", &blocking}, {"polling", &polling}, {"floor", &floor}};
    for (const auto& base : bases) {
        const std::string r_now = spread(ratios(now.cpu, base.base->cpu), "%.2f");
        const std::string r_before = spread(ratios(before.cpu, base.base->cpu), "%.2f");
        say("    CPU lanlink/%-8s now %s   before %s\n", base.label, r_now.c_str(),
            o.before.empty() ? "-" : r_before.c_str());
        both(std::string("CPU ratio lanlink/C ") + base.label, r_now, r_before);
    }
    const std::string rtt_now = spread(ratios(now.median, blocking.median), "%.3f");
    const std::string rtt_before = spread(ratios(before.median, blocking.median), "%.3f");
    say("    RTT median lanlink/blocking now %s   before %s\n", rtt_now.c_str(),
        o.before.empty() ? "-" : rtt_before.c_str());
    both("CPU us/update lanlink", spread(now.cpu, "%.1f"), spread(before.cpu, "%.1f"));
    for (const auto& base : bases) {
        figure(tag, std::string("CPU us/update C ") + base.label, spread(base.base->cpu, "%.1f"),
               "(same run)");
    }
    both("switches/update lanlink", spread(now.switches, "%.2f"), spread(before.switches, "%.2f"));
    for (const auto& base : bases) {
        figure(tag, std::string("switches/update C ") + base.label,
               spread(base.base->switches, "%.2f"), "(same run)");
    }
    both("RTT median us lanlink", spread(now.median, "%.0f"), spread(before.median, "%.0f"));
    both("RTT p99 us lanlink", spread(now.p99, "%.0f"), spread(before.p99, "%.0f"));
    figure(tag, "RTT median / p99 us C blocking",
           spread(blocking.median, "%.0f") + " / " + spread(blocking.p99, "%.0f"), "(same run)");
    figure(tag, "RTT median / p99 us C floor",
           spread(floor.median, "%.0f") + " / " + spread(floor.p99, "%.0f"), "(same run)");
    both("RTT median ratio lanlink/C blocking", rtt_now, rtt_before);
    both("answered/lost lanlink", std::to_string(now.answered) + "/" + std::to_string(now.lost),
         std::to_string(before.answered) + "/" + std::to_string(before.lost));
}

namespace {

// One run of the outside measure's figures.
struct Outside {
    bool read = false;
    double lanlink_cpu = 0;
    double responder_cpu = 0;
    double lanlink_rtt = 0;
    double responder_rtt = 0;
    int lanlink_lost = 0;
    int responder_lost = 0;
    double cpu_ratio = 0;
    double rtt_ratio = 0;
};

Outside run_outside(const CostOptions& o, const std::string& binary, bool to_file) {
    // Its temporary folder goes under ours, to be removed with it.
    const std::string tmp = scratch_dir() + "/outside";
    std::vector<std::string> argv = {"/usr/bin/env", "TMPDIR=" + tmp, "python3", o.outside,
                                     binary, std::to_string(o.outside_updates)};
    if (to_file) {
        argv.emplace_back("--to-file");
    }
    std::error_code ignored;
    std::filesystem::create_directories(tmp, ignored);
    Program script(argv, Output::kPipe);
    Outside figures;
    script.wait_for("rtt_ratio=", seconds(600));
    const auto status = script.wait_exit(seconds(10));
    script.wait_for("\n", seconds(1));
    const std::string out = script.output();
    const std::size_t line = out.find("cpu per update:");
    const std::size_t last = out.find("cpu_ratio=");
    if (line == std::string::npos || last == std::string::npos ||
        std::sscanf(out.c_str() + line,
                    "cpu per update: lanlink %lf us, responder %lf us; rtt median: lanlink %lf "
                    "us (%d lost), responder %lf us (%d lost)",
                    &figures.lanlink_cpu, &figures.responder_cpu, &figures.lanlink_rtt,
                    &figures.lanlink_lost, &figures.responder_rtt, &figures.responder_lost) != 6 ||
        std::sscanf(out.c_str() + last, "cpu_ratio=%lf rtt_ratio=%lf", &figures.cpu_ratio,
                    &figures.rtt_ratio) != 2) {
        oddity("update_cost.py on " + binary + (to_file ? " --to-file" : "") +
               " printed no figures (" + describe_status(status) + "): " + out.substr(0, 300));
        return figures;
    }
    figures.read = true;
    return figures;
}

}  // namespace

void outside_measure(const CostOptions& o) {
    if (o.outside.empty()) {
        say("\n[2] the outside measure: not run (--outside PATH runs it)\n");
        return;
    }
    say("\n[2] the outside measure, %s, %d runs of %d updates each, in this run\n",
        o.outside.c_str(), o.outside_runs, o.outside_updates);
    std::vector<std::string> binaries = {o.now};
    if (!o.before.empty()) {
        binaries.push_back(o.before);
    }
    for (const bool to_file : {false, true}) {
        std::map<std::string, std::vector<Outside>> runs;
        for (int run = 0; run < o.outside_runs; ++run) {
            for (std::size_t i = 0; i < binaries.size(); ++i) {
                // Now and before take turns at going first.
                const std::string& binary =
                    binaries[(i + static_cast<std::size_t>(run)) % binaries.size()];
                const Outside figures = run_outside(o, binary, to_file);
                if (figures.read) {
                    runs[binary].push_back(figures);
                }
            }
        }
        const char* mode = to_file ? "--to-file" : "headless";
        std::map<std::string, std::string> cells[4];
        for (const std::string& binary : binaries) {
            std::vector<double> ll;
            std::vector<double> rc;
            std::vector<double> cr;
            std::vector<double> rr;
            std::vector<double> lrtt;
            int lost = 0;
            for (const Outside& f : runs[binary]) {
                ll.push_back(f.lanlink_cpu);
                rc.push_back(f.responder_cpu);
                cr.push_back(f.cpu_ratio);
                rr.push_back(f.rtt_ratio);
                lrtt.push_back(f.lanlink_rtt);
                lost += f.lanlink_lost;
            }
            say("  %s, %s: cpu_ratio %s, rtt_ratio %s; lanlink %s us, responder %s us; lanlink "
                "RTT median %s us, %d lost\n",
                mode, binary_name(binary).c_str(), spread(cr, "%.2f").c_str(),
                spread(rr, "%.3f").c_str(), spread(ll, "%.1f").c_str(),
                spread(rc, "%.1f").c_str(), spread(lrtt, "%.0f").c_str(), lost);
            cells[0][binary] = spread(cr, "%.2f");
            cells[1][binary] = spread(rr, "%.3f");
            cells[2][binary] = spread(ll, "%.1f") + " vs " + spread(rc, "%.1f");
            cells[3][binary] = std::to_string(lost);
        }
        const char* measures[] = {"cpu_ratio", "rtt_ratio", "CPU us lanlink vs responder.c",
                                  "lanlink lost"};
        for (int m = 0; m < 4; ++m) {
            figure(std::string("2 ") + mode, measures[m], cells[m][o.now],
                   o.before.empty() ? "-" : cells[m][o.before]);
        }
    }
    say("  why [1] and [2] may differ: both start lanlink with standard input, output and error "
        "/dev/null (no -y, the confirmation taking the end of input), and with --to-file its "
        "output and responder_print.c's go to files as in [1]'s file setting; update_cost.py's "
        "client sends each update as three sendto() and times it from the third, as [1] does "
        "unless --sendmmsg, and alternates two programs (lanlink, responder.c) update by update "
        "for one run of %d; [1] alternates five programs (lanlink now and before, blocking, "
        "ppoll and floor responders) update by update, each started afresh in each of %d runs, "
        "and gives min/median/max over the runs; update_cost.py's responder is built by cc -O2 "
        "and binds 0.0.0.0, [1]'s is the benchmark's own build bound to 127.0.0.1, and its CPU "
        "window also takes in the client's start and the two programs' idle turns.\n",
        o.outside_updates, o.update_runs);
}

}  // namespace bench
