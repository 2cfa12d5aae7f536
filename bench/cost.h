// The cost set: what an update, a vector, a key and a send cost lanlink,
// each beside its baseline in the same run (C responders, cat, lanlink
// without the option, the previous state), and the outside measure's own
// figures beside the set's.
#ifndef LANLINK_BENCH_COST_H
#define LANLINK_BENCH_COST_H

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "launch.h"
#include "shared_key.h"

namespace bench {

struct CostOptions {
    std::string now;        // the lanlink measured
    std::string before;     // the previous state's, measured beside it; empty: none
    std::string outside;    // update_cost.py, run in the same run; empty: not run
    bool together = false;  // updates sent with one sendmmsg() instead of three sendto()
    int idle_seconds = 10;
    std::set<int> only;  // the numbered measures to run; empty: all

    bool runs(int measure) const { return only.empty() || only.count(measure) != 0; }

    int update_runs = 7;  // beside the C responders, in each of the three settings
    int updates = 500;    // updates to each program in a run
    int outside_runs = 3;
    int outside_updates = 1000;
    int echo_keys = 200;
    int pipe_runs = 3;
    int pipe_lines = 10000;
    int flood_runs = 3;  // one host's update flood
    int flood_rate = 40000;
    double flood_seconds = 1.5;
    int option_runs = 5;        // runs of the option measures (families, key, --json, -w)
    int option_updates = 500;   // updates to each program in those runs
    int phase_vectors = 10000;  // vectors in each phase of a per-vector measure
    int phase_rate = 20000;
    int keyed_senders = 1024;
    int keyed_per_sender = 20;
};

// What one run of lanlink is started with, as the measures start it.
struct Lanlink {
    std::unique_ptr<Program> program;
    std::uint16_t port = 0;
    std::string binary;
    const net::Shared_Key* key = nullptr;  // its quit must be sealed
    bool v6_only = false;                  // started with -6: reached over ::1
};

// `binary` with `options` before its operands (127.0.0.1 9 PORT, a free
// port), its standard streams as `output` says (a file under the scratch
// folder for Output::kFile), once it listens; on a terminal its arguments
// are confirmed and the start-up awaited. The run stops if it does not start.
Lanlink start_lanlink(const std::string& binary, Output output,
                      const std::vector<std::string>& options = {},
                      const net::Shared_Key* key = nullptr);

// Ends it with a quit vector, and says whether it ended as it should
// (status 0 within 3 s); an oddity is noted otherwise, as `where` says.
bool finish(Lanlink& peer, const std::string& where);

// Whether `binary --help` names `option`.
bool offers(const std::string& binary, const std::string& option);

// The name a binary has in the figures: "lanlink now" or "lanlink before".
std::string binary_name(const std::string& binary);

// cost_updates.cpp: [1] the update beside the three C responders, in the
// three settings; [2] the outside measure.
void update_costs(const CostOptions& o, Output setting);
void outside_measure(const CostOptions& o);

// cost_console.cpp: [3] the key echo at both prompts beside cat; [4] a pipe of send lines.
void key_echo_beside_cat(const CostOptions& o);
void piped_sends(const CostOptions& o);

// cost_floods.cpp: [5] one host's update flood, with the default and
// Debian's receive queue; [6] idle CPU and peak memory.
void host_flood(const CostOptions& o);
void idle_and_memory(const CostOptions& o);

// cost_options.cpp: [7] IPv6 against IPv4; [8] the shared key; [9] --json and -w.
void families(const CostOptions& o);
void shared_key(const CostOptions& o);
void json_and_capture(const CostOptions& o);

// The whole set, in that order (the table of figures is printed by the caller).
void run_cost_set(const CostOptions& o);

}  // namespace bench

#endif  // LANLINK_BENCH_COST_H
