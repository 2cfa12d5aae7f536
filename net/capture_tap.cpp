#include "capture_tap.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

namespace net {

namespace {

// The address nobody has: the writer puts in the one a route would take.
Endpoint anywhere(int family, std::uint16_t port) {
    return *Endpoint::numeric(family == AF_INET6 ? "::" : "0.0.0.0", port);
}

}  // namespace

void Capture_Tap::start() {
    for (std::size_t socket = 0; socket < source_.sockets() && socket < kMostSockets; ++socket) {
        const int fd = source_.descriptor(socket);
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            continue;
        }
        const Endpoint local = Endpoint::from(reinterpret_cast<const sockaddr*>(&bound), length);
        listen_ports_.at(socket) = local.port();
        const int on = 1;
        if (local.family() == AF_INET6) {
            setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
        } else {
            setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
        }
    }
}

int Capture_Tap::receive(std::size_t socket) {
    const int count = source_.receive(socket);
    const std::uint16_t port = socket < kMostSockets ? listen_ports_.at(socket) : 0;
    for (int i = 0; i < count; ++i) {
        const Received& got = source_.at(i);
        timespec when = got.arrived;
        if (!got.stamped) {
            clock_gettime(CLOCK_REALTIME, &when);
        }
        const Endpoint to =
            got.to.empty() ? anywhere(got.from.family(), port) : got.to.with_port(port);
        capture_.add(got.from, to,
                     std::string_view(reinterpret_cast<const char*>(got.bytes), got.len), got.size,
                     when);
    }
    capture_.hand_over();
    return count;
}

bool Capture_Tap::send_vector(const Endpoint& to, const Vector_Bytes& datagrams) {
    timespec when{};
    clock_gettime(CLOCK_REALTIME, &when);
    const bool sent = sink_.send_vector(to, datagrams);
    if (sent) {
        const Endpoint from = anywhere(to.family(), sink_.sending_port(to.family()));
        for (const std::string_view bytes : datagrams) {
            capture_.add(from, to, bytes, bytes.size(), when);
        }
        capture_.hand_over();
    }
    return sent;
}

}  // namespace net
