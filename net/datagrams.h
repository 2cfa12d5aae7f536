// The seam between the sockets and the rest: a source that hands over the
// datagrams that arrived, with the kernel's record of each, and a sink that
// puts vectors on the wire. SDL_net's sockets are one implementation; the
// units above them never see a socket.
#ifndef LANLINK_NET_DATAGRAMS_H
#define LANLINK_NET_DATAGRAMS_H

#include <time.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "endpoint.h"
#include "wire_format.h"

namespace net {

// One datagram as the kernel handed it over.
struct Received {
    Endpoint from;
    const unsigned char* bytes = nullptr;  // valid until the source reads again
    std::size_t len = 0;                   // the bytes kept, at most a packet's size
    std::size_t size = 0;                  // the datagram's own length
    std::uint32_t drops = 0;               // the socket's drop count when the datagram was queued
    timespec arrived{};                    // CLOCK_REALTIME, from the kernel's time stamp
    bool stamped = false;                  // the kernel gave a time stamp
    Endpoint to;  // the address it was sent to (port 0), where the socket was asked for it
};

class Datagram_Source {
  public:
    virtual ~Datagram_Source() = default;

    // How many sockets it reads, and the descriptor of each, to wait on.
    virtual std::size_t sockets() const = 0;
    virtual int descriptor(std::size_t socket) const = 0;
    // Reads what waits on `socket`, up to a batch, without waiting: how
    // many were read (0 when none waits), or -1 on an error. They stay
    // valid until the next read, through at().
    virtual int receive(std::size_t socket) = 0;
    virtual const Received& at(int i) const = 0;
    // Datagrams read in one call at most.
    virtual int batch() const = 0;
    // The kernel's count of datagrams dropped on `socket` since it opened
    // (it wraps at 2^32); nothing where the kernel cannot tell.
    virtual std::optional<std::uint32_t> drops(std::size_t socket) const = 0;
    // The receive queue's size, as the kernel counts it.
    virtual int queue_bytes(std::size_t socket) const = 0;
};

// The three datagrams of a vector, in slot order.
using Vector_Bytes = std::array<std::string_view, wire::kPacketsPerVector>;

class Datagram_Sink {
  public:
    virtual ~Datagram_Sink() = default;
    // Sends the three datagrams to `to`, in slot order: true when all went.
    virtual bool send_vector(const Endpoint& to, const Vector_Bytes& datagrams) = 0;
    // The port vectors to `family` go from; 0 where not known.
    virtual std::uint16_t sending_port(int /*family*/) const { return 0; }
};

}  // namespace net

#endif  // LANLINK_NET_DATAGRAMS_H
