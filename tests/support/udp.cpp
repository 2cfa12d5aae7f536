#include "udp.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "budget.h"

namespace testsupport {

namespace {

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

}  // namespace

LoopbackUdp::LoopbackUdp(std::uint16_t port, bool shared, std::uint8_t host) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        throw std::runtime_error("socket failed");
    }
    const int big = 4 * 1024 * 1024;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    const int on = 1;
    if (shared) {
        setsockopt(fd_, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    }
    sockaddr_in addr = loopback(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + host);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd_);
        throw std::runtime_error("bind failed on port " + std::to_string(port));
    }
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
}

LoopbackUdp::~LoopbackUdp() {
    close(fd_);
}

void LoopbackUdp::send(std::uint16_t to_port, std::string_view bytes) const {
    const sockaddr_in to = loopback(to_port);
    sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void LoopbackUdp::send_vector(std::uint16_t to_port, std::string_view address,
                              std::string_view port_text, std::string_view keyword) const {
    // One system call for the three datagrams, so that the scheduler cannot
    // hold the test up between them and split the vector.
    sockaddr_in to = loopback(to_port);
    const std::string_view parts[] = {address, port_text, keyword};
    iovec iov[3];
    mmsghdr msgs[3] = {};
    for (int i = 0; i < 3; ++i) {
        iov[i] = {const_cast<char*>(parts[i].data()), parts[i].size()};
        msgs[i].msg_hdr.msg_name = &to;
        msgs[i].msg_hdr.msg_namelen = sizeof to;
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    sendmmsg(fd_, msgs, 3, 0);
}

std::optional<Datagram> LoopbackUdp::receive(std::chrono::milliseconds timeout) const {
    const Bounded bound = within_budget(timeout);
    pollfd p{fd_, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(bound.length.count()));
    if (ready == 0 && bound.cut) {
        budget_spent();
    }
    if (ready <= 0) {
        return std::nullopt;
    }
    char buf[65536];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) {
        return std::nullopt;
    }
    return Datagram{std::string(buf, static_cast<std::size_t>(n)), ntohs(from.sin_port)};
}

int LoopbackUdp::drain() const {
    int count = 0;
    while (receive(std::chrono::milliseconds(0))) {
        ++count;
    }
    return count;
}

std::uint16_t free_udp_port() {
    const LoopbackUdp probe;
    return probe.port();
}

bool enter_private_network() {
    if (unshare(CLONE_NEWNET) != 0) {
        return false;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq loopback{};
    std::snprintf(loopback.ifr_name, sizeof loopback.ifr_name, "lo");
    const bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &loopback) == 0 &&
                    (loopback.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &loopback) == 0);
    if (fd >= 0) {
        close(fd);
    }
    return up;
}

std::string z(std::string_view text) {
    std::string s(text);
    s += '\0';
    return s;
}

std::optional<unsigned long> kernel_drops(std::uint16_t port) {
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);  // the column names
    char local[16];
    std::snprintf(local, sizeof local, ":%04X ", port);
    while (std::getline(table, line)) {
        const auto at = line.find(local);
        if (at == std::string::npos || at > 20) {
            continue;  // not the local address column
        }
        const auto last = line.find_last_not_of(' ');
        const auto start = line.find_last_of(' ', last);
        return std::stoul(line.substr(start + 1, last - start));
    }
    return std::nullopt;
}

}  // namespace testsupport
