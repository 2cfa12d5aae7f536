// Plain POSIX UDP sockets for tests: bound to a loopback address (127.0.0.1
// unless said otherwise) and sending only to 127.0.0.1, so that no test ever
// sends a datagram off this machine.
#ifndef LANLINK_TESTS_SUPPORT_UDP_H
#define LANLINK_TESTS_SUPPORT_UDP_H

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

struct Datagram {
    std::string bytes;
    std::uint16_t from_port = 0;
};

class LoopbackUdp {
  public:
    // Binds 127.0.0.`host`:`port` (0: a port the system picks), or with
    // `family` AF_INET6 [::1]:`port`, and sends to the same loopback
    // address. Throws when busy. A `shared` socket may be bound beside
    // another shared one on the same port: both then send from one address
    // and port.
    explicit LoopbackUdp(std::uint16_t port = 0, bool shared = false, std::uint8_t host = 1,
                         int family = AF_INET);
    ~LoopbackUdp();
    LoopbackUdp(const LoopbackUdp&) = delete;
    LoopbackUdp& operator=(const LoopbackUdp&) = delete;
    LoopbackUdp(LoopbackUdp&&) = delete;
    LoopbackUdp& operator=(LoopbackUdp&&) = delete;

    std::uint16_t port() const { return port_; }
    int descriptor() const { return fd_; }
    void send(std::uint16_t to_port, std::string_view bytes) const;
    // A packet vector: three datagrams back to back, in slot order.
    void send_vector(std::uint16_t to_port, std::string_view address, std::string_view port_text,
                     std::string_view keyword) const;
    // Datagrams back to back, in one system call.
    void send_together(std::uint16_t to_port, std::initializer_list<std::string_view> parts) const;
    std::optional<Datagram> receive(std::chrono::milliseconds timeout) const;
    // Drops every datagram already waiting; returns how many.
    int drain() const;

  private:
    int family_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// The receive queue, in bytes as the kernel counts them, that a peer started
// by this test gets: as lanlink asks for it, with the test's privileges.
int peer_queue_bytes();

// Whether this machine has IPv6: a UDP socket binds on ::1.
bool have_ipv6();

// A UDP port on 127.0.0.1 that was free a moment ago.
std::uint16_t free_udp_port();

// The kernel's count of datagrams dropped on the UDP socket bound to `port`
// (the drops column of /proc/net/udp); nothing when no such socket is there.
std::optional<unsigned long> kernel_drops(std::uint16_t port, int family = AF_INET);

// Waits until everything queued on the UDP socket bound to `port` has been
// read: a sender that paces itself so never sends more than a receive queue
// of the system's default size holds. False when there is no such socket,
// or it is never read.
bool wait_until_read(std::uint16_t port, int family = AF_INET);

// Moves the calling process (a test's child) into a network namespace of its
// own, with its loopback up, where fixed ports such as 4555 are free
// whatever runs on the machine. False where that is not allowed.
bool enter_private_network();

// A zero-terminated text as it travels in a slot.
std::string z(std::string_view text);

// Vectors, each from a sender of its own, whose last two datagrams come
// half a millisecond within or beyond `window` after their first. Arrival
// times are only known to lie between the clock readings around each send,
// so only the vectors whose spacing is known to be on its side of the window
// (and within a millisecond of it) tell: the test checks those. They go once
// the kernel is known to stamp every datagram as it arrives: for a moment
// after a peer starts it may stamp them when they are read instead.
struct WindowProbe {
    // The printouts the telling vectors must make, as "ip|port|msg", sorted.
    std::vector<std::string> expected;
    int within = 0;  // telling vectors whose spacing was within the window
    int beyond = 0;
    std::set<std::string> telling;  // their numbers, which start each of their texts
};
WindowProbe probe_window(std::uint16_t to_port, std::chrono::milliseconds window);
// The printouts in a peer's output `out` (its line ends "\n") from the
// vectors that tell, as "ip|port|msg", sorted.
std::vector<std::string> telling_printouts(const WindowProbe& probe, const std::string& out);

}  // namespace testsupport

#endif  // LANLINK_TESTS_SUPPORT_UDP_H
