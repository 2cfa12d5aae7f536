#include "trust.h"

#include <arpa/inet.h>

#include <cstdlib>

#include "socket_support.h"
#include "wire_format.h"

namespace net {

namespace {

constexpr int kWholeAddress = 32;

bool digits_only(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// A whole decimal number from `low` to `high`, or false.
bool number_in(std::string_view text, int low, int high, int& value) {
    if (!digits_only(text) || text.size() > 5) {
        return false;
    }
    value = std::atoi(std::string(text).c_str());
    return value >= low && value <= high;
}

// A host's IPv4 address (network byte order): a dotted address as it is,
// anything else looked up as a name. Text of digits and dots alone is an
// address or nothing: it is never sent to a name server.
bool host_address(std::string_view text, std::uint32_t& address, std::string& error) {
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
        address = parsed.s_addr;
        return true;
    }
    IPaddress resolved{};
    SDL_ClearError();
    if (SDLNet_ResolveHost(&resolved, host.c_str(), 0) != 0) {
        error = "the name cannot be resolved (" + library_error(kResolveFallback) + ")";
        return false;
    }
    address = resolved.host;
    return true;
}

std::uint32_t mask_of(int bits) {
    return bits == 0 ? 0 : ~std::uint32_t{0} << (kWholeAddress - bits);
}

}  // namespace

bool parse_network(std::string_view text, Network& network, std::string& error) {
    const auto slash = text.find('/');
    int bits = kWholeAddress;
    if (slash != std::string_view::npos &&
        !number_in(text.substr(slash + 1), 0, kWholeAddress, bits)) {
        error = "BITS must be from 0 to 32";
        return false;
    }
    std::uint32_t address = 0;
    if (!host_address(text.substr(0, slash), address, error)) {
        return false;
    }
    network.address = ntohl(address) & mask_of(bits);
    network.bits = bits;
    return true;
}

bool allowed(const std::vector<Network>& networks, const IPaddress& from) {
    if (networks.empty()) {
        return true;
    }
    const std::uint32_t host = ntohl(from.host);
    for (const Network& network : networks) {
        if ((host & mask_of(network.bits)) == network.address) {
            return true;
        }
    }
    return false;
}

bool parse_answer_to(std::string_view text, Answer_To& answer_to, std::string& error) {
    const auto colon = text.rfind(':');
    int port = wire::kAnswerPort;
    if (colon != std::string_view::npos &&
        !number_in(text.substr(colon + 1), 1, wire::kHighestPort, port)) {
        error = "PORT must be from 1 to 65535";
        return false;
    }
    const std::string_view host = text.substr(0, colon);
    Answer_To chosen;
    chosen.endpoint.port = htons(static_cast<std::uint16_t>(port));
    if (host == "sender") {
        chosen.sender = true;
    } else if (!host_address(host, chosen.endpoint.host, error)) {
        return false;
    }
    answer_to = chosen;
    return true;
}

Answer_To default_answer_to() {
    Answer_To answer_to;
    in_addr loopback{};
    inet_pton(AF_INET, wire::kAnswerHost, &loopback);
    answer_to.endpoint.host = loopback.s_addr;
    answer_to.endpoint.port = htons(static_cast<std::uint16_t>(wire::kAnswerPort));
    return answer_to;
}

std::string endpoint_text(const IPaddress& address) {
    char dotted[INET_ADDRSTRLEN] = {};
    in_addr host{};
    host.s_addr = address.host;
    inet_ntop(AF_INET, &host, dotted, sizeof dotted);
    return std::string(dotted) + ":" + std::to_string(ntohs(address.port));
}

}  // namespace net
