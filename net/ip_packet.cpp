#include "ip_packet.h"

#include <netinet/in.h>

namespace net {

namespace {

constexpr std::size_t kIpv4Header = 20;
constexpr std::size_t kIpv6Header = 40;
constexpr std::size_t kUdpHeader = 8;
constexpr unsigned char kHopLimit = 64;

void put16(std::string& to, std::size_t at, std::uint32_t value) {
    to[at] = static_cast<char>((value >> 8) & 0xff);
    to[at + 1] = static_cast<char>(value & 0xff);
}

// The ones' complement sum of `bytes` as 16-bit words, big-endian, an odd
// last byte padded with zero.
std::uint32_t add_words(std::uint32_t sum, std::string_view bytes) {
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        sum += (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 8) |
               static_cast<unsigned char>(bytes[i + 1]);
    }
    if (i < bytes.size()) {
        sum += static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 8;
    }
    return sum;
}

std::uint16_t folded(std::uint32_t sum) {
    while ((sum >> 16) != 0) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum & 0xffff);
}

}  // namespace

std::size_t ip_udp_header_bytes(int family) {
    return (family == AF_INET6 ? kIpv6Header : kIpv4Header) + kUdpHeader;
}

void append_ip_udp(std::string& packet, const Endpoint& from, const Endpoint& to,
                   std::string_view bytes, std::size_t size, std::uint16_t id) {
    const bool v6 = to.family() == AF_INET6;
    const std::size_t ip_header = v6 ? kIpv6Header : kIpv4Header;
    const std::size_t udp_length = kUdpHeader + size;
    const std::size_t start = packet.size();
    packet.append(ip_header + kUdpHeader, '\0');
    const std::string_view source = from.address_bytes();
    const std::string_view destination = to.address_bytes();
    if (v6) {
        packet[start] = 0x60;  // version 6, no traffic class or flow label
        put16(packet, start + 4, static_cast<std::uint32_t>(udp_length));
        packet[start + 6] = IPPROTO_UDP;
        packet[start + 7] = static_cast<char>(kHopLimit);
        packet.replace(start + 8, 16, source);
        packet.replace(start + 24, 16, destination);
    } else {
        packet[start] = 0x45;  // version 4, a header of five words
        put16(packet, start + 2, static_cast<std::uint32_t>(ip_header + udp_length));
        put16(packet, start + 4, id);
        packet[start + 8] = static_cast<char>(kHopLimit);
        packet[start + 9] = IPPROTO_UDP;
        packet.replace(start + 12, 4, source);
        packet.replace(start + 16, 4, destination);
        put16(packet, start + 10,
              folded(add_words(0, std::string_view(packet).substr(start, ip_header))));
    }
    const std::size_t udp = start + ip_header;
    put16(packet, udp, from.port());
    put16(packet, udp + 2, to.port());
    put16(packet, udp + 4, static_cast<std::uint32_t>(udp_length));
    packet.append(bytes);
    if (bytes.size() < size) {
        return;  // cut: the checksum needs bytes that were not kept
    }
    // The pseudo-header: both addresses, the protocol and the UDP length.
    std::uint32_t sum = add_words(add_words(0, source), destination);
    sum += IPPROTO_UDP + static_cast<std::uint32_t>(udp_length & 0xffff) +
           static_cast<std::uint32_t>(udp_length >> 16);
    sum = add_words(sum, std::string_view(packet).substr(udp));
    std::uint16_t checksum = folded(sum);
    if (checksum == 0) {
        checksum = 0xffff;  // 0 would mean none was computed
    }
    put16(packet, udp + 6, checksum);
}

}  // namespace net
