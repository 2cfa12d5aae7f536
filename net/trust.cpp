#include "trust.h"

#include <SDL_net.h>
#include <arpa/inet.h>

#include <cstring>

#include "command_line.h"
#include "socket_support.h"
#include "wire_format.h"

namespace net {

namespace {

constexpr int kIpv4Bits = 32;
// A prefix length or a port within an address text is at most this many
// digits.
constexpr std::size_t kMostDigits = 5;

// A number written in an address text: plain digits, no sign.
bool notation_number(std::string_view text, int low, int high, int& value) {
    return text.size() <= kMostDigits && cli::whole_number(text, low, high, value, false);
}

// A host's IPv4 address: a dotted address as it is, anything else looked
// up as a name. Text of digits and dots alone is an address or nothing: it
// is never sent to a name server.
bool host_address(std::string_view text, Endpoint& address, std::string& error) {
    const std::string host(text);
    if (host.empty()) {
        error = "no address";
        return false;
    }
    if (host.find_first_not_of("0123456789.") == std::string::npos) {
        in_addr parsed{};
        if (inet_pton(AF_INET, host.c_str(), &parsed) != 1) {
            error = "not an IPv4 address";
            return false;
        }
        address = Endpoint::ipv4(parsed.s_addr, 0);
        return true;
    }
    IPaddress resolved{};
    SDL_ClearError();
    if (SDLNet_ResolveHost(&resolved, host.c_str(), 0) != 0) {
        error = "the name cannot be resolved (" + library_error(kResolveFallback) + ")";
        return false;
    }
    address = Endpoint::ipv4(resolved.host, 0);
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
    int bits = kIpv4Bits;
    if (slash != std::string_view::npos &&
        !notation_number(text.substr(slash + 1), 0, kIpv4Bits, bits)) {
        error = "BITS must be from 0 to 32";
        return false;
    }
    Endpoint address;
    if (!host_address(text.substr(0, slash), address, error)) {
        return false;
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
    const std::string_view bytes = from.address_bytes();
    for (const Network& network : networks) {
        if (network.family == from.family() &&
            same_prefix(network.address.data(), reinterpret_cast<const std::uint8_t*>(bytes.data()),
                        network.bits)) {
            return true;
        }
    }
    return false;
}

bool parse_answer_to(std::string_view text, Answer_To& answer_to, std::string& error) {
    const auto colon = text.rfind(':');
    int port = wire::kAnswerPort;
    if (colon != std::string_view::npos &&
        !notation_number(text.substr(colon + 1), 1, wire::kHighestPort, port)) {
        error = "PORT must be from 1 to 65535";
        return false;
    }
    const std::string_view host = text.substr(0, colon);
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
