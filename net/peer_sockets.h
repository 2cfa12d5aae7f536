// The peer's sockets as its datagram source and sink: SDL_net (the library,
// the IPv4 receive socket on the listen port, read with the kernel's record
// of each datagram, the sending socket and their packets) and the
// program's own IPv6 sockets beside them. Each start-up step is told as it
// is taken; a failed one ends the process with status 1.
#ifndef LANLINK_NET_PEER_SOCKETS_H
#define LANLINK_NET_PEER_SOCKETS_H

#include <SDL_net.h>

#include <array>
#include <optional>

#include "batch_receiver.h"
#include "datagrams.h"
#include "events.h"
#include "ipv6_sockets.h"
#include "resolve.h"

namespace net {

class Peer_Sockets final : public Datagram_Source, public Datagram_Sink {
  public:
    // Sockets of `family`: both (the IPv6 ones left out without a word where
    // the machine has no IPv6), or one alone.
    Peer_Sockets(Family family, Peer_Events& events);
    // Shuts down quietly whatever the steps left open.
    ~Peer_Sockets() override;
    Peer_Sockets(const Peer_Sockets&) = delete;
    Peer_Sockets& operator=(const Peer_Sockets&) = delete;
    Peer_Sockets(Peer_Sockets&&) = delete;
    Peer_Sockets& operator=(Peer_Sockets&&) = delete;

    // The start-up steps, in this order.
    void start_library();
    void open_receive(int port);
    void open_send();
    void allocate();
    // The shut-down steps, told: sockets closed, packets freed, library ended.
    void shut_down();

    std::size_t sockets() const override;
    int descriptor(std::size_t socket) const override;
    int receive(std::size_t socket) override;
    const Received& at(int i) const override;
    int batch() const override;
    std::optional<std::uint32_t> drops(std::size_t socket) const override;
    int queue_bytes(std::size_t socket) const override;

    bool send_vector(const Endpoint& to, const Vector_Bytes& datagrams) override;
    std::uint16_t sending_port(int family) const override;
    // Sends outbound slot 0 as `data` to `to`, and slots 1 and 2 as the last
    // vector sent left them (none before any was sent).
    void send_first_slot(const char* data, const IPaddress& to);

  private:
    [[noreturn]] void fail(Step step, const std::string& call, const std::string& reason) const;
    // The receive socket `socket` is SDL_net's IPv4 one.
    bool is_ipv4(std::size_t socket) const { return recv_fd_ >= 0 && socket == 0; }

    Family family_;
    Peer_Events& events_;
    bool started_ = false;
    Ipv6_Sockets ipv6_;
    bool read_ipv6_ = false;  // at() is of the IPv6 socket's last read
    UDPsocket send_sock = nullptr;
    UDPsocket recv_sock = nullptr;
    UDPpacket** out_packets = nullptr;
    UDPpacket** in_packets = nullptr;  // the receive batch's buffers
    int recv_fd_ = -1;
    int send_fd_ = -1;  // the sending socket's descriptor
    int queue_bytes_ = 0;
    std::optional<Batch_Receiver> receiver_;
    // The outbound packets' own buffers: send_first_slot() lends slot 0
    // other memory for a moment.
    std::array<Uint8*, wire::kPacketsPerVector> out_buffers_{};
    bool outbound_addressed_ = false;  // slots 1 and 2 have been given an address
};

}  // namespace net

#endif  // LANLINK_NET_PEER_SOCKETS_H
