// A tap between the sockets and the rest of the peer: every datagram read
// from the source and every vector put on the sink go by it unchanged, and
// a copy of each into the capture.
#ifndef LANLINK_NET_CAPTURE_TAP_H
#define LANLINK_NET_CAPTURE_TAP_H

#include <array>
#include <cstdint>

#include "capture.h"
#include "datagrams.h"

namespace net {

class Capture_Tap final : public Datagram_Source, public Datagram_Sink {
  public:
    static constexpr std::size_t kMostSockets = 2;

    Capture_Tap(Datagram_Source& source, Datagram_Sink& sink, Capture& capture)
        : source_(source), sink_(sink), capture_(capture) {}

    // Once the sockets are open: each receive socket is asked for the
    // address every datagram was sent to, and its port is looked up.
    void start();

    std::size_t sockets() const override { return source_.sockets(); }
    int descriptor(std::size_t socket) const override { return source_.descriptor(socket); }
    int receive(std::size_t socket) override;
    const Received& at(int i) const override { return source_.at(i); }
    int batch() const override { return source_.batch(); }
    std::optional<std::uint32_t> drops(std::size_t socket) const override {
        return source_.drops(socket);
    }
    int queue_bytes(std::size_t socket) const override { return source_.queue_bytes(socket); }

    bool send_vector(const Endpoint& to, const Vector_Bytes& datagrams) override;
    std::uint16_t sending_port(int family) const override { return sink_.sending_port(family); }

  private:
    Datagram_Source& source_;
    Datagram_Sink& sink_;
    Capture& capture_;
    std::array<std::uint16_t, kMostSockets> listen_ports_{};
};

}  // namespace net

#endif  // LANLINK_NET_CAPTURE_TAP_H
