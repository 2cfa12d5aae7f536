// The headers a capture puts in front of each datagram: lengths, addresses
// and ports where a reader looks for them, and checksums a receiver would
// take (the header's, and the UDP one over the pseudo-header).
#include "ip_packet.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace {

std::uint32_t word(const std::string& p, std::size_t at) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(p[at])) << 8) |
           static_cast<unsigned char>(p[at + 1]);
}

// The ones' complement sum of `p` from `at` for `n` bytes, folded: 0xffff
// when the checksum among them is right.
std::uint32_t sum(const std::string& p, std::size_t at, std::size_t n, std::uint32_t s = 0) {
    for (std::size_t i = 0; i < n; i += 2) {
        s += i + 1 < n ? word(p, at + i)
                       : static_cast<std::uint32_t>(static_cast<unsigned char>(p[at + i])) << 8;
    }
    while (s >> 16) {
        s = (s & 0xffff) + (s >> 16);
    }
    return s;
}

net::Endpoint at(const char* address, std::uint16_t port) {
    return *net::Endpoint::numeric(address, port);
}

TEST(IpPacket, HeadersAndChecksumsForEitherFamily) {
    struct Case {
        const char* from;
        const char* to;
        std::string bytes;
        std::size_t size;  // more than the bytes: cut
    };
    const Case cases[] = {
        {"127.0.0.2", "127.0.0.1", std::string("update\0", 7), 7},
        {"127.0.0.2", "127.0.0.1", std::string("quit\0", 5) + "x", 6},
        {"10.1.2.3", "192.168.0.9", "", 0},
        {"127.0.0.1", "127.0.0.1", std::string(512, 'k'), 2000},
        {"::1", "::1", std::string("up_resp\0", 8), 8},
        {"fe80::1", "2001:db8::7", "odd", 3},
        {"::1", "::1", std::string(512, '\xff'), 600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.from) + " " + std::to_string(c.size));
        const net::Endpoint from = at(c.from, 40000);
        const net::Endpoint to = at(c.to, 4555);
        std::string p = "before";
        net::append_ip_udp(p, from, to, c.bytes, c.size, 0x1234);
        ASSERT_EQ(p.substr(0, 6), "before");  // appended, nothing overwritten
        p.erase(0, 6);
        const bool v6 = from.family() == AF_INET6;
        const std::size_t ip = v6 ? 40 : 20;
        ASSERT_EQ(net::ip_udp_header_bytes(from.family()), ip + 8);
        ASSERT_EQ(p.size(), ip + 8 + c.bytes.size());
        EXPECT_EQ(p.substr(ip + 8), c.bytes);
        const std::string src(from.address_bytes());
        const std::string dst(to.address_bytes());
        if (v6) {
            EXPECT_EQ(word(p, 0), 0x6000U);
            EXPECT_EQ(word(p, 4), 8 + c.size);  // payload length
            EXPECT_EQ(p[6], IPPROTO_UDP);
            EXPECT_EQ(p.substr(8, 16) + p.substr(24, 16), src + dst);
        } else {
            EXPECT_EQ(word(p, 0), 0x4500U);
            EXPECT_EQ(word(p, 2), 28 + c.size);  // total length
            EXPECT_EQ(word(p, 4), 0x1234U);
            EXPECT_EQ(p[9], IPPROTO_UDP);
            EXPECT_GT(p[8], 0);  // a time to live
            EXPECT_EQ(p.substr(12, 4) + p.substr(16, 4), src + dst);
            EXPECT_EQ(sum(p, 0, 20), 0xffffU);  // the header checksum
        }
        EXPECT_EQ(word(p, ip), 40000U);
        EXPECT_EQ(word(p, ip + 2), 4555U);
        EXPECT_EQ(word(p, ip + 4), 8 + c.size);
        if (c.size > c.bytes.size()) {
            EXPECT_EQ(word(p, ip + 6), 0U);  // cut: no checksum can be made
            continue;
        }
        EXPECT_NE(word(p, ip + 6), 0U);
        const std::string pseudo =
            src + dst + std::string("\0", 1) + static_cast<char>(IPPROTO_UDP) + p.substr(ip + 4, 2);
        EXPECT_EQ(sum(p, ip, p.size() - ip, sum(pseudo, 0, pseudo.size())), 0xffffU);
    }
}

}  // namespace
