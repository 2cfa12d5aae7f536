#include "trust.h"

#include <arpa/inet.h>

#include <cstring>

#include "command_line.h"
#include "resolve.h"
#include "wire_format.h"

namespace net {

namespace {

constexpr int kIpv4Bits = 32;
constexpr int kIpv6Bits = 128;
// A prefix length or a port within an address text is at most this many
// digits.
constexpr std::size_t kMostDigits = 5;

// A number written in an address text: plain digits, no sign.
bool notation_number(std::string_view text, int low, int high, int& value) {
    return text.size() <= kMostDigits && cli::whole_number(text, low, high, value, false);
}

// A host's address: a numeric address as it is, anything else looked up
// as a name (IPv4 first). Text of digits and dots alone is an IPv4 address
// or nothing, and text with a colon an IPv6 address or nothing: neither is
// ever sent to a name server.
bool host_address(std::string_view text, Endpoint& address, std::string& error) {
    const std::string host(text);
    if (host.empty()) {
        error = "no address";
        return false;
    }
    const bool dotted = host.find_first_not_of("0123456789.") == std::string::npos;
    const bool v6 = host.find(':') != std::string::npos;
    if (dotted || v6) {
        in_addr v4_address{};
        const auto numeric = Endpoint::numeric(host, 0);
        if (!numeric || (dotted && inet_pton(AF_INET, host.c_str(), &v4_address) != 1)) {
            error = dotted ? "not an IPv4 address" : "not an IPv6 address";
            return false;
        }
        address = *numeric;
        return true;
    }
    std::string reason;
    const auto found = resolve(host, 0, Family::kBoth, reason);
    if (!found) {
        error = "the name cannot be resolved (" + reason + ")";
        return false;
    }
    address = *found;
    return true;
}

// Whether the first `bits` bits of `a` and `b` are the same.
bool same_prefix(const std::uint8_t* a, const std::uint8_t* b, int bits) {
    const auto whole = static_cast<std::size_t>(bits / 8);
    if (std::memcmp(a, b, whole) != 0) {
        return false;
    }
    const int rest = bits % 8;
    if (rest == 0) {
        return true;
    }
    const auto mask = static_cast<std::uint8_t>(0xffU << static_cast<unsigned>(8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

bool parse_network(std::string_view text, Network& network, std::string& error) {
    const auto slash = text.find('/');
    Endpoint address;
    if (!host_address(text.substr(0, slash), address, error)) {
        return false;
    }
    const int most = address.family() == AF_INET6 ? kIpv6Bits : kIpv4Bits;
    int bits = most;
    if (slash != std::string_view::npos &&
        !notation_number(text.substr(slash + 1), 0, most, bits)) {
        error = "BITS must be from 0 to " + std::to_string(most);
        return false;
    }
    // An IPv4-mapped IPv6 network is the IPv4 network it stands for.
    if (address.unmapped().family() == AF_INET && address.family() == AF_INET6 &&
        bits >= kIpv6Bits - kIpv4Bits) {
        address = address.unmapped();
        bits -= kIpv6Bits - kIpv4Bits;
    }
    Network parsed;
    parsed.family = address.family();
    parsed.bits = bits;
    const std::string_view bytes = address.address_bytes();
    std::memcpy(parsed.address.data(), bytes.data(), bytes.size());
    network = parsed;
    return true;
}

bool allowed(const std::vector<Network>& networks, const Endpoint& from) {
    if (networks.empty()) {
        return true;
    }
    // An IPv4-mapped source is matched as the IPv4 address it stands for.
    const Endpoint source = from.unmapped();
    const std::string_view bytes = source.address_bytes();
    for (const Network& network : networks) {
        if (network.family == source.family() &&
            same_prefix(network.address.data(), reinterpret_cast<const std::uint8_t*>(bytes.data()),
                        network.bits)) {
            return true;
        }
    }
    return false;
}

bool parse_answer_to(std::string_view text, Answer_To& answer_to, std::string& error) {
    // "[v6]:PORT" or "[v6]", a bare IPv6 address (more than one colon, no
    // port), or "HOST[:PORT]".
    std::string_view host = text;
    std::string_view port_text;
    bool port_given = false;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos ||
            (close + 1 < text.size() && text[close + 1] != ':')) {
            error = "an IPv6 address in brackets is [ADDRESS] or [ADDRESS]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        port_given = close + 1 < text.size();
        port_text = port_given ? text.substr(close + 2) : std::string_view();
    } else if (const auto colon = text.rfind(':');
               colon != std::string_view::npos && text.find(':') == colon) {
        host = text.substr(0, colon);
        port_given = true;
        port_text = text.substr(colon + 1);
    }
    int port = wire::kAnswerPort;
    if (port_given && !notation_number(port_text, 1, wire::kHighestPort, port)) {
        error = "PORT must be from 1 to 65535";
        return false;
    }
    Answer_To chosen;
    if (host == "sender") {
        chosen.sender = true;
        chosen.endpoint = Endpoint::ipv4(0, 0);
    } else if (!host_address(host, chosen.endpoint, error)) {
        return false;
    }
    chosen.endpoint = chosen.endpoint.with_port(static_cast<std::uint16_t>(port));
    answer_to = chosen;
    return true;
}

Answer_To default_answer_to() {
    Answer_To answer_to;
    in_addr loopback{};
    inet_pton(AF_INET, wire::kAnswerHost, &loopback);
    answer_to.endpoint =
        Endpoint::ipv4(loopback.s_addr, htons(static_cast<std::uint16_t>(wire::kAnswerPort)));
    return answer_to;
}

Endpoint answer_endpoint(const Answer_To& answer_to, const Endpoint& from) {
    return answer_to.sender ? from.with_port(answer_to.endpoint.port()) : answer_to.endpoint;
}

}  // namespace net
