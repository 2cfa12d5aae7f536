#include "ipv6_sockets.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "socket_support.h"
#include "wire_format.h"

namespace net {

namespace {

constexpr int kBatch = 64;

}  // namespace

bool Ipv6_Sockets::Failure::no_ipv6() const {
    return error == EAFNOSUPPORT || error == EPROTONOSUPPORT || error == EADDRNOTAVAIL;
}

std::optional<Ipv6_Sockets::Failure> Ipv6_Sockets::open_receive(int port, int queue_bytes) {
    receive_.reset(socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!receive_.valid()) {
        return Failure{"socket(AF_INET6)", errno};
    }
    const int on = 1;
    setsockopt(receive_.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    queue_bytes_ = enlarge_receive_buffer(receive_.get(), queue_bytes);
    // The kernel's record of each datagram from the first one on.
    Batch_Receiver::record_arrivals(receive_.get());
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    any.sin6_port = htons(static_cast<std::uint16_t>(port));
    if (bind(receive_.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        const int error = errno;
        receive_.reset();
        return Failure{"bind([::]:" + std::to_string(port) + ")", error};
    }
    buffers_.assign(static_cast<std::size_t>(kBatch) * wire::kPacketSize, 0);
    std::vector<unsigned char*> parts;
    parts.reserve(kBatch);
    for (int i = 0; i < kBatch; ++i) {
        parts.push_back(&buffers_[static_cast<std::size_t>(i) * wire::kPacketSize]);
    }
    receiver_.emplace(parts, wire::kPacketSize);
    return std::nullopt;
}

std::optional<Ipv6_Sockets::Failure> Ipv6_Sockets::open_send() {
    send_.reset(socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!send_.valid()) {
        return Failure{"socket(AF_INET6)", errno};
    }
    return std::nullopt;
}

std::optional<std::uint32_t> Ipv6_Sockets::drops() const {
    return kernel_drops(receive_.get());
}

bool Ipv6_Sockets::send_vector(const Endpoint& to, const Vector_Bytes& datagrams) {
    if (!send_.valid() || to.family() != AF_INET6) {
        return false;
    }
    return send_datagrams(send_.get(), to, datagrams);
}

std::uint16_t Ipv6_Sockets::sending_port() const {
    sockaddr_in6 local{};
    socklen_t length = sizeof local;
    if (!send_.valid() ||
        getsockname(send_.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return 0;
    }
    return ntohs(local.sin6_port);
}

}  // namespace net
