#include "destination.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "socket_support.h"
#include "wire_format.h"

namespace net {

Destination_Book::Destination_Book(std::string ip, int port, Family family, Peer_Events& events)
    : family_(family), events_(events), current_{std::move(ip), port} {}

bool Destination_Book::resolve(std::string& reason) {
    const auto found =
        net::resolve(current_.ip, static_cast<std::uint16_t>(current_.port), family_, reason);
    if (!found) {
        return false;
    }
    if (*found != resolved_) {
        local_address_.clear();  // a new destination: its route is looked up anew
    }
    resolved_ = *found;
    return true;
}

bool Destination_Book::resolve_at_start() {
    events_.step_begun(Step::kDestination, 0, false);
    const std::string call =
        "SDLNet_ResolveHost(" + current_.ip + " " + std::to_string(current_.port) + ")";
    std::string reason;
    if (!wire::port_in_range(current_.port)) {
        events_.step_failed(Step::kDestination, call, "the port is outside 0 to 65535");
        return false;
    }
    if (!resolve(reason)) {
        events_.step_failed(Step::kDestination, call, reason);
        return false;
    }
    events_.step_done(Step::kDestination);
    return true;
}

int Destination_Book::set_ip(const char* ip) {
    current_.ip = ip;
    return change(false);
}

int Destination_Book::set_port(long long port) {
    if (!wire::port_in_range(port)) {
        events_.port_out_of_range(port, current_);
        return -1;
    }
    current_.port = static_cast<int>(port);
    return change(true);
}

int Destination_Book::change(bool port_given) {
    events_.destination_changing(current_, port_given);
    std::string reason;
    if (!resolve(reason)) {
        events_.destination_failed(current_, reason);
        return 0;
    }
    events_.destination_resolved(current_);
    return 1;
}

void Destination_Book::show() const {
    events_.destination_shown(current_);
}

std::string Destination_Book::local_address() const {
    if (!local_address_.empty()) {
        return local_address_;
    }
    // Connecting a datagram socket only picks the route: it sends nothing.
    std::string text = "0.0.0.0";
    const int fd =
        socket(resolved_.family() == AF_INET6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return text;
    }
    sockaddr_storage local{};
    socklen_t len = sizeof local;
    if (!resolved_.empty() && connect(fd, resolved_.address(), resolved_.length()) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0) {
        const std::string found =
            Endpoint::from(reinterpret_cast<const sockaddr*>(&local), len).address_text();
        if (!found.empty()) {
            text = found;
            local_address_ = found;  // kept: the route was found
        }
    }
    close(fd);
    return text;
}

}  // namespace net
