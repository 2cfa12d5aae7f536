#include "peer.h"

#include <vector>

namespace testsupport {

std::unique_ptr<Child> start_peer(const std::string& binary, int port) {
    auto peer = std::make_unique<Child>(
        std::vector<std::string>{binary, "127.0.0.1", "4556", std::to_string(port)},
        Input::kTerminal);
    if (!peer->wait_for("[Y/n] ")) {
        return nullptr;
    }
    peer->write("y\n");
    if (!peer->wait_for("Allocating memory for recieving packets...Success!\r\n\r\n")) {
        return nullptr;
    }
    return peer;
}

}  // namespace testsupport
