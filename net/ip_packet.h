// A UDP datagram as it went over IP: the IPv4 or IPv6 header and the UDP
// header built from its two endpoints, with their checksums, in front of
// its bytes. What a capture file holds for each datagram.
#ifndef LANLINK_NET_IP_PACKET_H
#define LANLINK_NET_IP_PACKET_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "endpoint.h"

namespace net {

// The headers' length for a family: 28 bytes for IPv4, 48 for IPv6.
std::size_t ip_udp_header_bytes(int family);

// Appends to `packet` the headers and `bytes` of a datagram from `from` to
// `to` (one family, IPv4 or IPv6). `size` is the datagram's own length,
// which the headers tell: more than `bytes` holds when it was cut, and the
// UDP checksum, which needs every byte, is then left 0. `id` is the IPv4
// identification.
void append_ip_udp(std::string& packet, const Endpoint& from, const Endpoint& to,
                   std::string_view bytes, std::size_t size, std::uint16_t id = 0);

}  // namespace net

#endif  // LANLINK_NET_IP_PACKET_H
