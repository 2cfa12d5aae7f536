// The cost set's running of lanlink, and the set itself.
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "bench.h"
#include "cost.h"
#include "report.h"
#include "traffic.h"

namespace bench {

using std::chrono::seconds;

namespace {

const CostOptions* g_options = nullptr;

}  // namespace

std::string binary_name(const std::string& binary) {
    if (g_options != nullptr && binary == g_options->before && binary != g_options->now) {
        return "lanlink before";
    }
    return "lanlink now";
}

Lanlink start_lanlink(const std::string& binary, Output output,
                      const std::vector<std::string>& options, const net::Shared_Key* key) {
    Lanlink peer;
    peer.binary = binary;
    peer.key = key;
    peer.port = testsupport::free_udp_port();
    std::vector<std::string> argv = {binary};
    argv.insert(argv.end(), options.begin(), options.end());
    // With -6 alone the destination must be of that family too.
    peer.v6_only = std::find(options.begin(), options.end(), "-6") != options.end();
    argv.insert(argv.end(), {peer.v6_only ? "::1" : "127.0.0.1", "9", std::to_string(peer.port)});
    const std::string file = scratch_dir() + "/lanlink-" + std::to_string(peer.port) + ".out";
    peer.program = std::make_unique<Program>(argv, output, file);
    bool started = false;
    if (output == Output::kTerminal) {
        started = peer.program->wait_for("[Y/n] ", seconds(10));
        if (started) {
            peer.program->write("y\n");
            started = peer.program->wait_for("recieving packets...Success!", seconds(10));
        }
    } else {
        started = wait_bound(peer.port, seconds(10));
    }
    if (!started) {
        std::fprintf(stderr, "lanlink_bench: %s did not start\n", binary.c_str());
        std::exit(1);
    }
    return peer;
}

bool finish(Lanlink& peer, const std::string& where) {
    const testsupport::LoopbackUdp closer(0, false, 1, peer.v6_only ? AF_INET6 : AF_INET);
    const std::array<std::string, 3> quit = peer.key != nullptr
                                                ? sealed_vector(*peer.key, 7, 0, "a", "b", "quit")
                                                : plain_vector("a", "b", "quit");
    const char state = process_state(peer.program->pid());
    if (state == 'Z' || state == '?') {
        oddity(binary_name(peer.binary) + " had ended before its quit (" + where +
               "): " + describe_status(peer.program->wait_exit(seconds(1))));
        return false;
    }
    closer.send_together(peer.port, {quit[0], quit[1], quit[2]});
    const auto status = peer.program->wait_exit(seconds(3));
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
        oddity(binary_name(peer.binary) + " did not end with status 0 on a quit (" + where +
               "): " + describe_status(status));
        peer.program->kill_now();
        return false;
    }
    return true;
}

bool offers(const std::string& binary, const std::string& option) {
    static std::map<std::pair<std::string, std::string>, bool> known;
    const auto key = std::make_pair(binary, option);
    if (const auto found = known.find(key); found != known.end()) {
        return found->second;
    }
    Program help({binary, "--help"}, Output::kPipe);
    help.wait_exit(seconds(5));
    // What it printed is read by another thread: give it a moment.
    help.wait_for("help", seconds(1));
    return known[key] = help.said(" " + option);
}

void run_cost_set(const CostOptions& o) {
    g_options = &o;
    net::start_sodium();
    say("cost set: lanlink now %s%s%s; updates %s\n", o.now.c_str(),
        o.before.empty() ? "" : ", before ", o.before.c_str(),
        o.together ? "sent with one sendmmsg()" : "sent as three sendto(), timed from the third");
    if (o.runs(1)) {
        update_costs(o, Output::kNull);
        update_costs(o, Output::kFile);
        update_costs(o, Output::kTerminal);
    }
    const std::array<void (*)(const CostOptions&), 8> rest = {
        outside_measure, key_echo_beside_cat, piped_sends,     host_flood, idle_and_memory,
        families,        shared_key,          json_and_capture};
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (o.runs(static_cast<int>(i) + 2)) {
            rest.at(i)(o);
        }
    }
}

}  // namespace bench
