// Which sources an allow-list takes, where answers go, the values that are
// refused and the family a numeric address must be of: plain texts, no name
// looked up.
#include "trust.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

#include "resolve.h"

namespace {

net::Endpoint source(const char* numeric) {
    const auto address = net::Endpoint::numeric(numeric, 0);
    EXPECT_TRUE(address) << numeric;
    return address.value_or(net::Endpoint());
}

std::vector<net::Network> networks(std::initializer_list<const char*> texts) {
    std::vector<net::Network> parsed;
    for (const char* text : texts) {
        net::Network network;
        std::string error;
        EXPECT_TRUE(net::parse_network(text, network, error)) << text << ": " << error;
        parsed.push_back(network);
    }
    return parsed;
}

TEST(Allow, EachNetworkTakesItsOwnAddressesOnly) {
    EXPECT_TRUE(net::allowed({}, source("10.1.2.3")));  // no list: every source
    const auto everyone = networks({"192.168.1.1/0"});
    EXPECT_TRUE(net::allowed(everyone, source("127.0.0.1")));
    EXPECT_TRUE(net::allowed(everyone, source("255.255.255.254")));
    const auto ten = networks({"10.200.3.4/8"});
    EXPECT_TRUE(net::allowed(ten, source("10.0.0.0")));
    EXPECT_TRUE(net::allowed(ten, source("10.255.255.255")));
    EXPECT_FALSE(net::allowed(ten, source("11.0.0.0")));
    EXPECT_FALSE(net::allowed(ten, source("9.255.255.255")));
    const auto two = networks({"127.0.0.2", "127.0.1.2/31"});
    EXPECT_TRUE(net::allowed(two, source("127.0.0.2")));
    EXPECT_FALSE(net::allowed(two, source("127.0.0.3")));
    EXPECT_FALSE(net::allowed(two, source("127.0.0.1")));
    EXPECT_TRUE(net::allowed(two, source("127.0.1.3")));
    EXPECT_FALSE(net::allowed(two, source("127.0.1.4")));
    EXPECT_FALSE(net::allowed(two, source("127.0.1.1")));
    // IPv6: one host, a prefix; an IPv4 network takes no IPv6 source; an
    // IPv4-mapped source or network is the IPv4 address it stands for.
    const auto six = networks({"::1", "fd00::/8", "::ffff:10.9.0.0/112"});
    EXPECT_TRUE(net::allowed(six, source("::1")));
    EXPECT_FALSE(net::allowed(six, source("::2")));
    EXPECT_TRUE(net::allowed(six, source("fd12:3456::1")));
    EXPECT_FALSE(net::allowed(six, source("fe80::1")));
    EXPECT_FALSE(net::allowed(six, source("127.0.0.1")));
    EXPECT_TRUE(net::allowed(six, source("10.9.1.2")));
    EXPECT_TRUE(net::allowed(ten, source("::ffff:10.1.2.3")));
    EXPECT_FALSE(net::allowed(ten, source("fd00::1")));
}

TEST(Allow, ValuesThatAreNotANetworkAreRefusedWithTheReason) {
    const std::pair<const char*, const char*> refused[] = {
        {"10.0.0.0/33", "BITS must be from 0 to 32"},
        {"10.0.0.0/", "BITS must be from 0 to 32"},
        {"10.0.0.0/-1", "BITS must be from 0 to 32"},
        {"10.0.0.0/3x", "BITS must be from 0 to 32"},
        {"10.0.0.0/000032", "BITS must be from 0 to 32"},
        {"300.1.1.1", "not an IPv4 address"},
        {"1.2.3", "not an IPv4 address"},
        {"", "no address"},
        {"/8", "no address"},
        {"::1/129", "BITS must be from 0 to 128"},
        {":::", "not an IPv6 address"},
        {"fe80::1%nosuchlink", "not an IPv6 address"}};
    for (const auto& [text, reason] : refused) {
        net::Network network;
        std::string error;
        EXPECT_FALSE(net::parse_network(text, network, error)) << text;
        EXPECT_EQ(error, reason) << text;
    }
}

TEST(AnswerTo, AHostAPortOrTheSender) {
    net::Answer_To answer_to;
    std::string error;
    for (const auto& [text, shown] : std::vector<std::pair<std::string, std::string>>{
             {"[::1]:5000", "[::1]:5000"}, {"[::1]", "[::1]:4556"}, {"::1", "[::1]:4556"}}) {
        ASSERT_TRUE(net::parse_answer_to(text, answer_to, error)) << text << ": " << error;
        EXPECT_EQ(answer_to.endpoint.text(), shown);
    }
    ASSERT_TRUE(net::parse_answer_to("127.0.0.9", answer_to, error)) << error;
    EXPECT_FALSE(answer_to.sender);
    EXPECT_EQ(answer_to.endpoint.text(), "127.0.0.9:4556");
    ASSERT_TRUE(net::parse_answer_to("sender:5000", answer_to, error)) << error;
    EXPECT_TRUE(answer_to.sender);
    EXPECT_EQ(answer_to.endpoint.port(), 5000);
    ASSERT_TRUE(net::parse_answer_to("127.0.0.1:65535", answer_to, error)) << error;
    EXPECT_FALSE(answer_to.sender);
    EXPECT_EQ(answer_to.endpoint.text(), "127.0.0.1:65535");
    EXPECT_EQ(net::default_answer_to().endpoint.text(), "127.0.0.1:4556");
    for (const char* text :
         {"127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:", "sender:x1", "[::1]:0", "[::1]:"}) {
        EXPECT_FALSE(net::parse_answer_to(text, answer_to, error)) << text;
        EXPECT_EQ(error, "PORT must be from 1 to 65535") << text;
    }
    EXPECT_FALSE(net::parse_answer_to("[::1]5000", answer_to, error));
    EXPECT_EQ(answer_to.endpoint.text(), "127.0.0.1:65535");  // left as it was
}

// Under -4 or -6 a numeric address of the other family is refused, named.
TEST(Resolve, ANumericAddressIsTakenInItsFamilyOnly) {
    using net::Family;
    const std::tuple<const char*, Family, std::string> cases[] = {
        {"::1", Family::kIpv4, "not an IPv4 address"},
        {"127.0.0.1", Family::kIpv6, "not an IPv6 address"},
        {"::1", Family::kIpv6, ""},
        {"127.0.0.1", Family::kIpv4, ""},
        {"::1", Family::kBoth, ""}};
    for (const auto& [host, family, refused] : cases) {
        std::string reason;
        const auto found = net::resolve(host, 4555, family, reason);
        EXPECT_EQ(found ? "" : reason, refused) << host;
    }
}

}  // namespace
