#include "peer.h"

#include <vector>

namespace testsupport {

std::vector<std::string> answer_to(int port) {
    return {"--answer-to", "127.0.0.1:" + std::to_string(port)};
}

std::unique_ptr<Child> start_peer(const std::string& binary, int port, int dest_port,
                                  int answer_port, termios* found,
                                  const std::vector<std::string>& options) {
    std::vector<std::string> argv = {binary};
    if (answer_port != 0) {
        for (std::string& option : answer_to(answer_port)) {
            argv.push_back(std::move(option));
        }
    }
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"127.0.0.1", std::to_string(dest_port), std::to_string(port)});
    auto peer = std::make_unique<Child>(argv, Input::kTerminal);
    // Start-up takes milliseconds, but a machine busy building may hold it up.
    if (!peer->wait_for("[Y/n] ", milliseconds(10000)) ||
        (found != nullptr && tcgetattr(peer->terminal(), found) != 0)) {
        return nullptr;
    }
    peer->write("y\n");
    if (!peer->wait_for("Allocating memory for recieving packets...Success!\r\n\r\n",
                        milliseconds(10000))) {
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

std::pair<int, long> shown_and_not_shown(const std::string& out) {
    int shown = 0;
    for (auto at = out.find("Packet array incoming!"); at != std::string::npos;
         at = out.find("Packet array incoming!", at + 1)) {
        ++shown;
    }
    long not_shown = 0;
    for (auto at = out.find(" not shown ("); at != std::string::npos;
         at = out.find(" not shown (", at + 1)) {
        const auto start = out.rfind('\n', at) + 1;
        not_shown += std::stol(out.substr(start, at - start));
    }
    return {shown, not_shown};
}

}  // namespace testsupport
