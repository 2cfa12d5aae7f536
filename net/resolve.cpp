#include "resolve.h"

#include <netdb.h>
#include <sys/socket.h>

namespace net {

namespace {

// A name whose labels are all there: none empty, and not empty itself. A
// final dot (the root) is allowed.
bool whole_labels(const std::string& host) {
    if (host.empty() || host.front() == '.' || host.find("..") != std::string::npos) {
        return false;
    }
    return true;
}

int preferred(Family family) {
    return family == Family::kIpv6 ? AF_INET6 : AF_INET;
}

}  // namespace

std::optional<Endpoint> resolve(const std::string& host, std::uint16_t port, Family family,
                                std::string& reason) {
    reason = kNotAHost;
    if (const auto numeric = Endpoint::numeric(host, port)) {
        if (family != Family::kBoth && numeric->family() != preferred(family)) {
            reason = family == Family::kIpv4 ? "not an IPv4 address" : "not an IPv6 address";
            return std::nullopt;
        }
        return numeric;
    }
    if (!whole_labels(host)) {
        return std::nullopt;
    }
    addrinfo hints{};
    hints.ai_family = family == Family::kIpv4   ? AF_INET
                      : family == Family::kIpv6 ? AF_INET6
                                                : AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) {
        return std::nullopt;
    }
    std::optional<Endpoint> chosen;
    for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
        const Endpoint endpoint = Endpoint::from(at->ai_addr, at->ai_addrlen);
        if (endpoint.empty()) {
            continue;
        }
        if (!chosen ||
            (chosen->family() != preferred(family) && endpoint.family() == preferred(family))) {
            chosen = endpoint;
        }
    }
    freeaddrinfo(found);
    return chosen;
}

}  // namespace net
