// Names and numeric addresses of either family into endpoints.
#ifndef LANLINK_NET_RESOLVE_H
#define LANLINK_NET_RESOLVE_H

#include <cstdint>
#include <optional>
#include <string>

#include "endpoint.h"

namespace net {

// Which families a peer speaks: both, or one alone.
enum class Family { kBoth, kIpv4, kIpv6 };

// `host` at `port`: a numeric address as it is ("10.0.0.2", "::1",
// "fe80::1%eth0"), a name looked up (getaddrinfo) with IPv4 taken first
// unless `family` is kIpv6, and of `family` only where it is one alone. A
// name with an empty label ("a..b") is refused without any lookup. Nothing,
// with the reason, when it cannot be resolved.
std::optional<Endpoint> resolve(const std::string& host, std::uint16_t port, Family family,
                                std::string& reason);

// The reason given for a name that is not known.
constexpr const char* kNotAHost = "the name is not a known host or numeric address";

}  // namespace net

#endif  // LANLINK_NET_RESOLVE_H
