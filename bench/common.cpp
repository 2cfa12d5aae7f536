// The lanlink peers the scenarios start, and the percentiles of their figures.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench.h"
#include "peer.h"

namespace bench {

std::string g_binary = LANLINK_BINARY;

double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

Peer start(Input input) {
    Peer peer;
    peer.port = testsupport::free_udp_port();
    if (input == Input::kTerminal) {
        peer.child = testsupport::start_peer(g_binary, peer.port, 9, 0);
    } else {
        peer.child = std::make_unique<Child>(
            std::vector<std::string>{g_binary, "127.0.0.1", "9", std::to_string(peer.port)}, input);
        peer.child->close_input();
        if (!peer.child->wait_for("recieving packets...Success!")) {
            peer.child.reset();
        }
    }
    if (!peer.child) {
        std::fprintf(stderr, "lanlink did not start\n");
        std::exit(1);
    }
    return peer;
}

std::unique_ptr<Child> headless_to_null(std::uint16_t port, const std::string& options) {
    return std::make_unique<Child>(
        std::vector<std::string>{"/bin/sh", "-c",
                                 "exec " + g_binary + " " + options + " 127.0.0.1 9 " +
                                     std::to_string(port) + " </dev/null >/dev/null"},
        Input::kNull);
}

}  // namespace bench
