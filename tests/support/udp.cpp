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

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "arrival_stamps.h"
#include "budget.h"
#include "socket_support.h"

namespace testsupport {

namespace {

// 127.0.0.`host` (IPv4) or ::1 at `port`, and its length.
std::pair<sockaddr_storage, socklen_t> loopback(int family, std::uint16_t port,
                                                std::uint8_t host = 1) {
    sockaddr_storage storage{};
    if (family == AF_INET6) {
        auto& addr = reinterpret_cast<sockaddr_in6&>(storage);
        addr.sin6_family = AF_INET6;
        addr.sin6_port = htons(port);
        addr.sin6_addr = in6addr_loopback;
        return {storage, sizeof addr};
    }
    auto& addr = reinterpret_cast<sockaddr_in&>(storage);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + host);
    return {storage, sizeof addr};
}

std::uint16_t port_of(const sockaddr_storage& address) {
    return ntohs(address.ss_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                     : reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

}  // namespace

LoopbackUdp::LoopbackUdp(std::uint16_t port, bool shared, std::uint8_t host, int family)
    : family_(family) {
    fd_ = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        throw std::runtime_error("socket failed");
    }
    // As big a queue as the program itself gets.
    net::enlarge_receive_buffer(fd_, 4 * 1024 * 1024);
    const int on = 1;
    if (shared) {
        setsockopt(fd_, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    }
    auto [addr, len] = loopback(family, port, host);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        close(fd_);
        throw std::runtime_error("bind failed on port " + std::to_string(port));
    }
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = port_of(addr);
}

LoopbackUdp::~LoopbackUdp() {
    close(fd_);
}

void LoopbackUdp::send(std::uint16_t to_port, std::string_view bytes) const {
    const auto [to, len] = loopback(family_, to_port);
    sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), len);
}

void LoopbackUdp::send_vector(std::uint16_t to_port, std::string_view address,
                              std::string_view port_text, std::string_view keyword) const {
    // One system call for the three datagrams, so that the scheduler cannot
    // hold the test up between them and split the vector.
    send_together(to_port, {address, port_text, keyword});
}

void LoopbackUdp::send_together(std::uint16_t to_port,
                                std::initializer_list<std::string_view> parts) const {
    auto [to, to_len] = loopback(family_, to_port);
    iovec iov[3];
    mmsghdr msgs[3] = {};
    unsigned count = 0;
    for (const std::string_view part : parts) {
        if (count == 3) {
            throw std::logic_error("send_together sends three datagrams at most");
        }
        iov[count] = {const_cast<char*>(part.data()), part.size()};
        msgs[count].msg_hdr.msg_name = &to;
        msgs[count].msg_hdr.msg_namelen = to_len;
        msgs[count].msg_hdr.msg_iov = &iov[count];
        msgs[count].msg_hdr.msg_iovlen = 1;
        ++count;
    }
    sendmmsg(fd_, msgs, count, 0);
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
    sockaddr_storage from{};
    socklen_t len = sizeof from;
    const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) {
        return std::nullopt;
    }
    return Datagram{std::string(buf, static_cast<std::size_t>(n)), port_of(from)};
}

int LoopbackUdp::drain() const {
    int count = 0;
    while (receive(std::chrono::milliseconds(0))) {
        ++count;
    }
    return count;
}

std::uint16_t free_udp_port() {
    // Free for a peer that binds it on every address of both families: a
    // port the kernel picks for 0.0.0.0, and that [::] can have too.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int v4 = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        socklen_t length = sizeof any;
        if (v4 < 0 || bind(v4, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
            getsockname(v4, reinterpret_cast<sockaddr*>(&any), &length) != 0) {
            if (v4 >= 0) {
                close(v4);
            }
            break;
        }
        const std::uint16_t port = ntohs(any.sin_port);
        const int v6 = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        bool free6 = v6 < 0;  // no IPv6 here: nothing to share the port with
        if (v6 >= 0) {
            const int on = 1;
            setsockopt(v6, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
            sockaddr_in6 any6{};
            any6.sin6_family = AF_INET6;
            any6.sin6_port = htons(port);
            free6 = bind(v6, reinterpret_cast<sockaddr*>(&any6), sizeof any6) == 0 ||
                    errno == EADDRNOTAVAIL || errno == EAFNOSUPPORT;
            close(v6);
        }
        close(v4);
        if (free6) {
            return port;
        }
    }
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

WindowProbe probe_window(std::uint16_t to_port, std::chrono::milliseconds window) {
    using Clock = std::chrono::steady_clock;
    using std::chrono::microseconds;
    // What the receiving peer's own conversion of the kernel's time stamps
    // may add or take, at most.
    constexpr auto kMargin = microseconds(100);
    constexpr auto kOff = microseconds(500);
    WindowProbe probe;
    // The peer's own socket asks for stamps; this makes sure the kernel has
    // begun giving them.
    const net::Arrival_Stamps stamps;
    if (!stamps.on()) {
        return probe;  // nothing tells
    }
    // Within and beyond by turns, 20 tries each at most: three that tell
    // each way are enough.
    for (int i = 0; i < 40 && (probe.within < 3 || probe.beyond < 3); ++i) {
        const bool beyond = i % 2 == 1;
        const std::string n = std::to_string(i);
        const std::string a = n + "a";
        const std::string b = n + "b";
        const std::string c = n + "c";
        const LoopbackUdp sender;
        const auto before_first = Clock::now();
        sender.send(to_port, z(a));
        const auto after_first = Clock::now();
        const auto due = before_first + window + (beyond ? kOff : -kOff);
        // Asleep for most of the gap; a spin for the last of it keeps it close.
        std::this_thread::sleep_until(due - std::chrono::milliseconds(2));
        while (Clock::now() < due) {
            // a millisecond or two of spinning
        }
        const auto before_rest = Clock::now();
        sender.send_together(to_port, {z(b), z(c)});
        const auto after_rest = Clock::now();
        const auto least = before_rest - after_first;
        const auto most = after_rest - before_first;
        const auto low = beyond ? window + kMargin : window - 2 * kOff + kMargin;
        const auto high = beyond ? window + 2 * kOff - kMargin : window - kMargin;
        if (least <= low || most >= high) {
            continue;  // the scheduler stretched the gap or a send: it does not tell
        }
        probe.telling.insert(n);
        if (beyond) {
            ++probe.beyond;
            probe.expected.push_back(a + "||");
            probe.expected.push_back(std::string(b).append("|").append(c).append("|"));
        } else {
            ++probe.within;
            probe.expected.push_back(std::string(a).append("|").append(b).append("|").append(c));
        }
    }
    std::sort(probe.expected.begin(), probe.expected.end());
    return probe;
}

std::vector<std::string> telling_printouts(const WindowProbe& probe, const std::string& out) {
    std::vector<std::string> found;
    const std::string head = "Packet array incoming!\n\t  IP: ";
    for (auto at = out.find(head); at != std::string::npos; at = out.find(head, at + 1)) {
        const auto ip = at + head.size();
        const auto port = out.find("\n\tPORT: ", ip);
        const auto msg = out.find("\n\t MSG: ", port);
        const auto end = msg == std::string::npos ? msg : out.find('\n', msg + 1);
        if (end == std::string::npos) {
            break;  // cut short
        }
        const std::size_t label = 8;  // "\n\tPORT: " and "\n\t MSG: "
        const std::string line = out.substr(ip, port - ip) + "|" +
                                 out.substr(port + label, msg - port - label) + "|" +
                                 out.substr(msg + label, end - msg - label);
        const std::string number = line.substr(0, line.find_first_not_of("0123456789"));
        if (probe.telling.count(number) != 0) {
            found.push_back(line);
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

namespace {

// The line of /proc/net/udp (udp6 for IPv6) for the socket bound to `port`.
std::optional<std::string> udp_table_line(std::uint16_t port, int family) {
    std::ifstream table(family == AF_INET6 ? "/proc/net/udp6" : "/proc/net/udp");
    std::string line;
    std::getline(table, line);  // the column names
    char local[16];
    std::snprintf(local, sizeof local, ":%04X ", port);
    while (std::getline(table, line)) {
        const auto at = line.find(local);
        if (at != std::string::npos && at <= (family == AF_INET6 ? 44U : 20U)) {  // local address
            return line;
        }
    }
    return std::nullopt;
}

}  // namespace

bool have_ipv6() {
    const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bound;
}

int peer_queue_bytes() {
    const LoopbackUdp probe;
    return net::receive_buffer(probe.descriptor());
}

std::optional<unsigned long> kernel_drops(std::uint16_t port, int family) {
    const auto line = udp_table_line(port, family);
    if (!line) {
        return std::nullopt;
    }
    const auto last = line->find_last_not_of(' ');
    const auto start = line->find_last_of(' ', last);
    return std::stoul(line->substr(start + 1, last - start));
}

bool wait_until_read(std::uint16_t port, int family) {
    const auto deadline = std::chrono::steady_clock::now() + patient();
    while (std::chrono::steady_clock::now() < deadline) {
        const auto line = udp_table_line(port, family);
        if (!line) {
            return false;
        }
        // "tx_queue:rx_queue", in hexadecimal, after the state.
        std::istringstream fields(*line);
        std::string field;
        for (int i = 0; i < 5; ++i) {
            fields >> field;
        }
        if (std::stoul(field.substr(field.find(':') + 1), nullptr, 16) == 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

}  // namespace testsupport
