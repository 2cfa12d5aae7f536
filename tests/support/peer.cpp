#include "peer.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "udp.h"

namespace testsupport {

std::vector<std::string> family_options() {
    const char* family = std::getenv("LANLINK_TEST_FAMILY");
    if (family != nullptr && std::string(family) == "4") {
        return {"-4"};
    }
    return {};
}

bool peer_has_ipv6() {
    return have_ipv6() && family_options().empty();
}

std::vector<std::string> answer_to(int port) {
    return {"--answer-to", "127.0.0.1:" + std::to_string(port)};
}

std::unique_ptr<Child> start_peer(const std::string& binary, int port, int dest_port,
                                  int answer_port, termios* found,
                                  const std::vector<std::string>& options) {
    std::vector<std::string> argv = {binary};
    for (std::string& option : family_options()) {
        argv.push_back(std::move(option));
    }
    if (answer_port != 0) {
        for (std::string& option : answer_to(answer_port)) {
            argv.push_back(std::move(option));
        }
    }
    // A window of a second, which the tests' own sending cannot miss however
    // busy the machine, unless the test gives its own.
    if (std::none_of(options.begin(), options.end(), [](const std::string& option) {
            return option.rfind("-W", 0) == 0 || option.rfind("--window", 0) == 0;
        })) {
        argv.emplace_back("--window=1000");
    }
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"127.0.0.1", std::to_string(dest_port), std::to_string(port)});
    auto peer = std::make_unique<Child>(argv, Input::kTerminal);
    // Start-up takes milliseconds, but a machine busy building may hold it up.
    if (!peer->wait_for("[Y/n] ", testsupport::patient()) ||
        (found != nullptr && tcgetattr(peer->terminal(), found) != 0)) {
        return nullptr;
    }
    peer->write("y\n");
    if (!peer->wait_for("Allocating memory for recieving packets...Success!\r\n\r\n",
                        testsupport::patient())) {
        return nullptr;
    }
    return peer;
}

bool open_prompt(Child& peer) {
    peer.write("x");
    if (!wait_for_raw(peer.terminal(), true)) {
        return false;
    }
    peer.write("\n");
    return peer.wait_for("\r\n$ ");
}

long told_count(const std::string& out, std::string_view phrase) {
    long told = 0;
    for (auto at = out.find(phrase); at != std::string::npos; at = out.find(phrase, at + 1)) {
        const auto start = out.rfind('\n', at) + 1;
        told += std::stol(out.substr(start, at - start));
    }
    return told;
}

std::pair<int, long> shown_and_not_shown(const std::string& out) {
    int shown = 0;
    for (auto at = out.find("Packet array incoming!"); at != std::string::npos;
         at = out.find("Packet array incoming!", at + 1)) {
        ++shown;
    }
    return {shown, told_count(out, " not shown (")};
}

std::vector<Printout> printouts_in(const std::string& out) {
    std::vector<Printout> found;
    const std::string head = "Packet array incoming!\n\t  IP: ";
    for (auto at = out.find(head); at != std::string::npos; at = out.find(head, at + 1)) {
        std::istringstream lines(out.substr(at + head.size(), 2000));
        Printout p;
        std::getline(lines, p.ip);
        std::getline(lines, p.port);
        std::getline(lines, p.msg);
        p.port.erase(0, std::min(p.port.size(), std::string_view("\tPORT: ").size()));
        p.msg.erase(0, std::min(p.msg.size(), std::string_view("\t MSG: ").size()));
        found.push_back(p);
    }
    return found;
}

}  // namespace testsupport
