// Measures lanlink on loopback and prints the figures. The scenarios are in
// files by what they measure (scenarios.h lists them); this picks which run.
// By default the main set: idle CPU, how fast a key is noticed, the update
// round trip (idle, with a key pending, with a line being typed) and its CPU
// cost beside a plain C responder, two senders at once, how fast a quit ends
// it, bursts and paced vectors, the zero-loss receive rate against a bare
// SDL_net receive loop, a flood while the prompt is open, and peak memory.
// It binds 127.0.0.1:4556 to collect answers, so nothing else may hold that
// port: run it in a network namespace of its own.
//
//   lanlink_bench [--idle SECONDS] [--line SECONDS] [--binary PATH]
//                 [--framing | --cost | --console] [--quick]
//                 [--before PATH] [--outside PATH] [--sendmmsg] [--only LIST]
//
//   --idle SECONDS  each idle CPU figure over SECONDS (10)
//   --line SECONDS  the line kept open under a flood for SECONDS (60)
//   --binary PATH   the lanlink measured (this build's)
//   --framing       only the measures of how vectors are put together
//   --cost          what updates, vectors, keys, sends and the options cost,
//                   each beside its baseline in the same run (cost.h), then
//                   the CPU per vector against the bare SDL_net loop and the
//                   zero-loss receive rate; a table of every figure at the end
//   --console       only the key echo and the open prompt
//   --quick         a few repetitions where the full set makes hundreds, to
//                   see every scenario run; its figures say little
//   --before PATH   with --cost: the previous state's lanlink, measured
//                   beside this one wherever it has the option
//   --outside PATH  with --cost: runs update_cost.py (PATH) in the same run
//                   and shows its figures beside the set's own
//   --sendmmsg      with --cost: each update's three datagrams in one
//                   sendmmsg() rather than three sendto()
//   --only LIST     with --cost: only the measures numbered in LIST (1,4)
//
// A value may also follow its option after "=" (--idle=5).
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include "bench.h"
#include "cost.h"
#include "launch.h"
#include "report.h"
#include "responders.h"
#include "scenarios.h"

namespace bench {
namespace {

constexpr const char* kUsage =
    "usage: lanlink_bench [--idle SECONDS] [--line SECONDS] [--binary PATH]\n"
    "                     [--framing | --cost | --console] [--quick]\n"
    "                     [--before PATH] [--outside PATH] [--sendmmsg] [--only LIST]\n"
    "\n"
    "  --idle SECONDS  each idle CPU figure over SECONDS (10)\n"
    "  --line SECONDS  the line kept open under a flood for SECONDS (60)\n"
    "  --binary PATH   the lanlink measured (this build's)\n"
    "  --framing       only the measures of how vectors are put together\n"
    "  --cost          what updates, vectors, keys, sends and the options cost,\n"
    "                  each beside its baseline in the same run: the update beside\n"
    "                  three C responders (headless to /dev/null, to a file, on a\n"
    "                  terminal), the key echo beside cat, a pipe of sends, one\n"
    "                  host's update flood, idle CPU and memory, IPv6 against IPv4,\n"
    "                  a shared key, --json and -w against without; then the CPU\n"
    "                  per vector against the bare SDL_net loop and the zero-loss\n"
    "                  receive rate; a table of every figure at the end\n"
    "  --console       only the key echo and the open prompt\n"
    "  --quick         a few repetitions where the full set makes hundreds, to\n"
    "                  see every scenario run; its figures say little\n"
    "  --before PATH   with --cost: the previous state's lanlink, measured beside\n"
    "                  this one wherever it has the option\n"
    "  --outside PATH  with --cost: runs update_cost.py (PATH) in the same run and\n"
    "                  shows its figures beside the set's own\n"
    "  --sendmmsg      with --cost: each update's three datagrams in one sendmmsg()\n"
    "                  rather than three sendto() timed from the third\n"
    "  --only LIST     with --cost: only the measures numbered in LIST (1,4)\n"
    "\n"
    "Without --framing, --cost or --console, the main set runs. It binds\n"
    "127.0.0.1:4556: run it in a network namespace of its own.\n";

// Which scenarios run.
enum class Set { kMain, kFraming, kCost, kConsole };

// Runs against the minimal responder, and updates in each.
struct Turns {
    int runs = 0;
    int updates = 0;
};

// How many times the scenarios repeat what they measure.
struct Repeats {
    int round_trips = 0;  // updates timed one after the other, headless and on a terminal
    Turns headless;       // beside the minimal responder, headless (the main set)
    Turns terminal;       // and on a terminal
    Turns cost_headless;  // the same in the cost set
    Turns cost_terminal;
    int many_senders = 0;    // senders interleaved in the CPU per vector
    int echo_keys = 0;       // keys timed to their echo, at each prompt
    int printouts = 0;       // vectors arriving while a line is open at the open prompt
    int send_lines = 0;      // send lines piped to the open prompt
    int flood_seconds = 0;   // the flood a stopped peer is continued under
    int update_seconds = 0;  // one host sending 5,000 updates a second
};

constexpr Repeats kFull{1000, {7, 500}, {5, 500}, {9, 1000}, {5, 500}, 1000, 50, 1000, 10000, 3, 2};
constexpr Repeats kQuick{100, {3, 100}, {3, 100}, {3, 100}, {3, 100}, 100, 10, 100, 1000, 1, 1};

struct Options {
    int idle_seconds = 10;
    int line_seconds = 60;
    Set set = Set::kMain;
    bool quick = false;
    std::string before;
    std::string outside;
    bool together = false;
    std::set<int> only;
};

// An executable file, or the run stops with `option` named.
std::string executable(const std::string& option, const std::string& path);

[[noreturn]] void usage_error(const std::string& complaint) {
    std::fprintf(stderr, "lanlink_bench: %s\n%s", complaint.c_str(), kUsage);
    std::exit(2);
}

// A whole number of seconds, from 1 to a day.
int seconds(const std::string& option, const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < 1 || value > 86400) {
        usage_error(option + " takes a whole number of seconds, from 1 to 86400: '" + text + "'");
    }
    return static_cast<int>(value);
}

std::string executable(const std::string& option, const std::string& path) {
    struct stat file {};
    if (stat(path.c_str(), &file) != 0 || !S_ISREG(file.st_mode) ||
        access(path.c_str(), X_OK) != 0) {
        usage_error(option + ": '" + path + "' is not an executable file");
    }
    return path;
}

Options parse(int argc, char** argv) {
    Options options;
    std::string set_option;  // the one of --framing, --cost and --console given
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::optional<std::string> attached;  // the value after "=", if any
        const std::size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            attached = name.substr(equals + 1);
            name.resize(equals);
        }
        const auto value = [&]() -> std::string {
            if (attached) {
                return *attached;
            }
            if (i + 1 >= argc) {
                usage_error(name + " wants a value");
            }
            return argv[++i];
        };
        const auto no_value = [&] {
            if (attached) {
                usage_error(name + " takes no value");
            }
        };
        if (name == "--idle") {
            options.idle_seconds = seconds(name, value());
        } else if (name == "--line") {
            options.line_seconds = seconds(name, value());
        } else if (name == "--binary") {
            g_binary = executable(name, value());
        } else if (name == "--before") {
            options.before = executable(name, value());
        } else if (name == "--outside") {
            options.outside = value();
            if (access(options.outside.c_str(), R_OK) != 0) {
                usage_error("--outside: '" + options.outside + "' cannot be read");
            }
        } else if (name == "--only") {
            std::stringstream list(value());
            std::string item;
            while (std::getline(list, item, ',')) {
                const int measure = std::atoi(item.c_str());
                if (measure < 1 || measure > 10) {
                    usage_error("--only: '" + item + "' is not a measure from 1 to 10");
                }
                options.only.insert(measure);
            }
        } else if (name == "--sendmmsg") {
            no_value();
            options.together = true;
        } else if (name == "--framing" || name == "--cost" || name == "--console") {
            no_value();
            if (!set_option.empty() && set_option != name) {
                usage_error("only one of --framing, --cost and --console at a time");
            }
            set_option = name;
            options.set = name == "--framing" ? Set::kFraming
                          : name == "--cost"  ? Set::kCost
                                              : Set::kConsole;
        } else if (name == "--quick") {
            no_value();
            options.quick = true;
        } else if (name == "--help" || name == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (name.rfind('-', 0) == 0) {
            usage_error("unknown option " + name);
        } else {
            usage_error("unexpected argument '" + name + "'");
        }
    }
    return options;
}

void run_main_set(const Options& options, const Repeats& repeats, const LoopbackUdp& sender,
                  const LoopbackUdp& answers) {
    Peer headless = start(Input::kNull);
    report_idle_cpu(headless, options.idle_seconds, "headless");
    Peer terminal = start(Input::kTerminal);
    report_idle_cpu(terminal, options.idle_seconds, "on a terminal");
    std::fflush(stdout);

    report_round_trips(headless, sender, answers, repeats.round_trips, "headless");
    against_c_responder(sender, answers, false, repeats.headless.runs, repeats.headless.updates);
    against_c_responder(sender, answers, true, repeats.terminal.runs, repeats.terminal.updates);
    two_senders(headless, answers, 2500);
    report_round_trips(terminal, sender, answers, repeats.round_trips, "terminal, idle");
    busy_console(terminal, sender, answers);
    keys(terminal);
    vectors(headless, sender, answers, 50, milliseconds(0), "burst of 50 back to back");
    vectors(headless, sender, answers, 200, milliseconds(0), "burst of 200 back to back");
    vectors(headless, sender, answers, 500, milliseconds(2), "500 paced vectors, 2 ms apart");
    flood_at_prompt(terminal, sender);
    stopped_output(terminal, sender, answers);
    line_open_flood(terminal, answers, options.line_seconds, 2000);
    background(sender, answers);
    report_peak_rss(headless, terminal);

    quit_times(headless, terminal, sender);

    receive_rates(sender);
}

// The framing measures, on their own.
void run_framing(const Repeats& repeats, const LoopbackUdp& answers) {
    drop_during_flood(repeats.flood_seconds);
    stray_datagram(answers);
    for (const int count : {64, 65, 200, 1000}) {
        interleaved_senders(answers, count);
    }
    update_flood(answers, 5000, repeats.update_seconds);
    report_framing_peak_rss();
}

// The cost set: every measure beside its baseline, then the per-vector
// measures against the bare SDL_net loop, and the table of figures.
void run_cost(const Options& options, const Repeats& repeats) {
    CostOptions cost;
    cost.now = g_binary;
    cost.before = options.before;
    cost.outside = options.outside;
    cost.together = options.together;
    cost.only = options.only;
    cost.idle_seconds = options.idle_seconds;
    if (options.quick) {
        cost.update_runs = 2;
        cost.updates = 50;
        cost.outside_runs = 1;
        cost.outside_updates = 200;
        cost.echo_keys = 20;
        cost.pipe_runs = 1;
        cost.pipe_lines = 1000;
        cost.flood_runs = 1;
        cost.flood_seconds = 0.5;
        cost.option_runs = 2;
        cost.option_updates = 50;
        cost.phase_vectors = 2000;
        cost.keyed_senders = 1024;
        cost.keyed_per_sender = 2;
    }
    run_cost_set(cost);
    if (cost.runs(10)) {
        std::printf("\n[10] lanlink now beside the bare SDL_net loop\n");
        const LoopbackUdp sender;
        senders_cost(repeats.many_senders);
        refusal_cost();
        receive_rates(sender);
    }
    print_table();
    remove_scratch_dir();
}

void run_console(const Options& options, const Repeats& repeats, const LoopbackUdp& answers) {
    key_echo(repeats.echo_keys);
    open_prompt(answers, options.idle_seconds, repeats.printouts, repeats.send_lines);
}

int run(int argc, char** argv) {
    if (is_responder_command(argc, argv)) {
        return run_responder_command(argc, argv);
    }
    const Options options = parse(argc, argv);
    const Repeats& repeats = options.quick ? kQuick : kFull;
    // A thousand senders need a descriptor each.
    rlimit descriptors{};
    getrlimit(RLIMIT_NOFILE, &descriptors);
    descriptors.rlim_cur = descriptors.rlim_max;
    setrlimit(RLIMIT_NOFILE, &descriptors);
    if (options.set == Set::kCost) {
        // Its measures bind the answer port themselves, and leave it free
        // for the outside measure's client.
        run_cost(options, repeats);
        return 0;
    }
    if (!options.before.empty() || !options.outside.empty() || options.together ||
        !options.only.empty()) {
        usage_error("--before, --outside, --sendmmsg and --only go with --cost");
    }
    const LoopbackUdp answers(kAnswerPort);
    const LoopbackUdp sender;
    switch (options.set) {
        case Set::kMain:
            run_main_set(options, repeats, sender, answers);
            break;
        case Set::kFraming:
            run_framing(repeats, answers);
            break;
        case Set::kCost:
            break;
        case Set::kConsole:
            run_console(options, repeats, answers);
            break;
    }
    return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    return bench::run(argc, argv);
}
