#include "endpoint.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>

namespace net {

namespace {

const sockaddr_in& v4(const sockaddr_storage& storage) {
    return reinterpret_cast<const sockaddr_in&>(storage);
}

const sockaddr_in6& v6(const sockaddr_storage& storage) {
    return reinterpret_cast<const sockaddr_in6&>(storage);
}

bool mapped(const sockaddr_in6& address) {
    return IN6_IS_ADDR_V4MAPPED(&address.sin6_addr);
}

}  // namespace

Endpoint Endpoint::ipv4(std::uint32_t host, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = host;
    address.sin_port = port;
    return from(reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

Endpoint Endpoint::from(const sockaddr* address, socklen_t length) {
    Endpoint endpoint;
    if (address == nullptr) {
        return endpoint;
    }
    if ((address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) ||
        (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6))) {
        const std::size_t size =
            address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        std::memcpy(&endpoint.storage_, address, size);
        if (address->sa_family == AF_INET6) {
            // The flow label says nothing about who sent.
            reinterpret_cast<sockaddr_in6&>(endpoint.storage_).sin6_flowinfo = 0;
        }
    }
    return endpoint;
}

std::optional<Endpoint> Endpoint::numeric(const std::string& text, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (text.empty() || getaddrinfo(text.c_str(), service.c_str(), &hints, &found) != 0) {
        return std::nullopt;
    }
    const Endpoint endpoint = from(found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    if (endpoint.empty()) {
        return std::nullopt;
    }
    return endpoint;
}

std::uint16_t Endpoint::port() const {
    switch (family()) {
        case AF_INET:
            return ntohs(v4(storage_).sin_port);
        case AF_INET6:
            return ntohs(v6(storage_).sin6_port);
        default:
            return 0;
    }
}

Endpoint Endpoint::with_port(std::uint16_t port) const {
    Endpoint endpoint = *this;
    if (family() == AF_INET) {
        reinterpret_cast<sockaddr_in&>(endpoint.storage_).sin_port = htons(port);
    } else if (family() == AF_INET6) {
        reinterpret_cast<sockaddr_in6&>(endpoint.storage_).sin6_port = htons(port);
    }
    return endpoint;
}

Endpoint Endpoint::unmapped() const {
    if (family() != AF_INET6 || !mapped(v6(storage_))) {
        return *this;
    }
    std::uint32_t host = 0;
    std::memcpy(&host, &v6(storage_).sin6_addr.s6_addr[12], sizeof host);
    return ipv4(host, v6(storage_).sin6_port);
}

std::uint32_t Endpoint::ipv4_host() const {
    return family() == AF_INET ? v4(storage_).sin_addr.s_addr : 0;
}

std::string_view Endpoint::address_bytes() const {
    switch (family()) {
        case AF_INET:
            return {reinterpret_cast<const char*>(&v4(storage_).sin_addr), 4};
        case AF_INET6:
            return {reinterpret_cast<const char*>(&v6(storage_).sin6_addr), 16};
        default:
            return {};
    }
}

socklen_t Endpoint::length() const {
    switch (family()) {
        case AF_INET:
            return sizeof(sockaddr_in);
        case AF_INET6:
            return sizeof(sockaddr_in6);
        default:
            return 0;
    }
}

std::string Endpoint::address_text() const {
    char text[NI_MAXHOST] = {};
    if (empty() ||
        getnameinfo(address(), length(), text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) {
        return {};
    }
    return text;
}

std::string Endpoint::text() const {
    const std::string address = address_text();
    const std::string port = std::to_string(this->port());
    return family() == AF_INET6 ? "[" + address + "]:" + port : address + ":" + port;
}

bool Endpoint::operator==(const Endpoint& other) const {
    if (family() != other.family()) {
        return false;
    }
    switch (family()) {
        case AF_INET:
            return v4(storage_).sin_addr.s_addr == v4(other.storage_).sin_addr.s_addr &&
                   v4(storage_).sin_port == v4(other.storage_).sin_port;
        case AF_INET6:
            return std::memcmp(&v6(storage_).sin6_addr, &v6(other.storage_).sin6_addr,
                               sizeof(in6_addr)) == 0 &&
                   v6(storage_).sin6_port == v6(other.storage_).sin6_port &&
                   v6(storage_).sin6_scope_id == v6(other.storage_).sin6_scope_id;
        default:
            return true;
    }
}

std::size_t Endpoint::hash() const {
    // FNV-1a over the family, the address, the port and an IPv6 scope.
    std::size_t h = 1469598103934665603ULL;
    const auto mix = [&h](const void* bytes, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(bytes);
        for (std::size_t i = 0; i < size; ++i) {
            h = (h ^ p[i]) * 1099511628211ULL;
        }
    };
    const int f = family();
    mix(&f, sizeof f);
    const std::string_view address = address_bytes();
    mix(address.data(), address.size());
    const std::uint16_t p = port();
    mix(&p, sizeof p);
    if (f == AF_INET6) {
        mix(&v6(storage_).sin6_scope_id, sizeof(std::uint32_t));
    }
    return h;
}

}  // namespace net
