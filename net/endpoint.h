// An address of either family and a port: where a datagram came from or
// goes to. Nothing above the sockets needs to know the family.
#ifndef LANLINK_NET_ENDPOINT_H
#define LANLINK_NET_ENDPOINT_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace net {

class Endpoint {
  public:
    // No address: the family is AF_UNSPEC, and it equals only another empty one.
    Endpoint() = default;
    // An IPv4 address and port, both in network byte order (as SDL_net keeps them).
    static Endpoint ipv4(std::uint32_t host, std::uint16_t port);
    // `address` of `length` bytes, as a socket call gave it: empty when it
    // is neither IPv4 nor IPv6.
    static Endpoint from(const sockaddr* address, socklen_t length);
    // A numeric address ("10.0.0.2", "::1", "fe80::1%eth0"), never a name:
    // nothing when the text is not one.
    static std::optional<Endpoint> numeric(const std::string& text, std::uint16_t port);

    int family() const { return storage_.ss_family; }
    bool empty() const { return family() == AF_UNSPEC; }
    std::uint16_t port() const;  // host byte order
    Endpoint with_port(std::uint16_t port) const;
    // An IPv4-mapped IPv6 address (::ffff:a.b.c.d) as the IPv4 address it
    // stands for; any other endpoint as it is.
    Endpoint unmapped() const;
    // The IPv4 address in network byte order; 0 for another family.
    std::uint32_t ipv4_host() const;
    // The address's bytes: 4 for IPv4, 16 for IPv6, none otherwise.
    std::string_view address_bytes() const;

    const sockaddr* address() const { return reinterpret_cast<const sockaddr*>(&storage_); }
    socklen_t length() const;

    // "a.b.c.d:port" or "[v6]:port".
    std::string text() const;
    // The address alone, in its usual form: "a.b.c.d" or "v6" (no brackets).
    std::string address_text() const;

    bool operator==(const Endpoint& other) const;
    bool operator!=(const Endpoint& other) const { return !(*this == other); }
    std::size_t hash() const;

  private:
    sockaddr_storage storage_{};
};

}  // namespace net

template <>
struct std::hash<net::Endpoint> {
    std::size_t operator()(const net::Endpoint& endpoint) const { return endpoint.hash(); }
};

#endif  // LANLINK_NET_ENDPOINT_H
