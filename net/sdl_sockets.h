// SDL_net's sockets as the peer's datagram source and sink: the library,
// the receive socket on the listen port (read with the kernel's record of
// each datagram), the sending socket, and their packets. Each start-up step
// is told as it is taken; a failed one ends the process with status 1.
#ifndef LANLINK_NET_SDL_SOCKETS_H
#define LANLINK_NET_SDL_SOCKETS_H

#include <SDL_net.h>

#include <array>
#include <optional>

#include "batch_receiver.h"
#include "datagrams.h"
#include "events.h"

namespace net {

class Sdl_Sockets final : public Datagram_Source, public Datagram_Sink {
  public:
    explicit Sdl_Sockets(Peer_Events& events);
    // Shuts down quietly whatever the steps left open.
    ~Sdl_Sockets() override;
    Sdl_Sockets(const Sdl_Sockets&) = delete;
    Sdl_Sockets& operator=(const Sdl_Sockets&) = delete;
    Sdl_Sockets(Sdl_Sockets&&) = delete;
    Sdl_Sockets& operator=(Sdl_Sockets&&) = delete;

    // The start-up steps, in this order.
    void start_library();
    void open_receive(int port);
    void open_send();
    void allocate();
    // The shut-down steps, told: sockets closed, packets freed, library ended.
    void shut_down();

    std::size_t sockets() const override { return 1; }
    int descriptor(std::size_t /*socket*/) const override { return recv_fd_; }
    int receive(std::size_t socket) override;
    const Received& at(int i) const override { return receiver_->at(i); }
    int batch() const override;
    std::optional<std::uint32_t> drops(std::size_t socket) const override;
    int queue_bytes(std::size_t /*socket*/) const override { return queue_bytes_; }

    bool send_vector(const Endpoint& to, const Vector_Bytes& datagrams) override;
    // Sends outbound slot 0 as `data` to `to`, and slots 1 and 2 as the last
    // vector sent left them (none before any was sent).
    void send_first_slot(const char* data, const IPaddress& to);

  private:
    [[noreturn]] void fail(Step step, const char* call, const std::string& reason) const;

    Peer_Events& events_;
    bool started_ = false;
    UDPsocket send_sock = nullptr;
    UDPsocket recv_sock = nullptr;
    UDPpacket** out_packets = nullptr;
    UDPpacket** in_packets = nullptr;  // the receive batch's buffers
    int recv_fd_ = -1;
    int queue_bytes_ = 0;
    std::optional<Batch_Receiver> receiver_;
    // The outbound packets' own buffers: send_first_slot() lends slot 0
    // other memory for a moment.
    std::array<Uint8*, wire::kPacketsPerVector> out_buffers_{};
    bool outbound_addressed_ = false;  // slots 1 and 2 have been given an address
};

}  // namespace net

#endif  // LANLINK_NET_SDL_SOCKETS_H
