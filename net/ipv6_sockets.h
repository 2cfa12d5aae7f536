// The program's own IPv6 sockets, beside SDL_net's IPv4 ones: one bound to
// [::] at the listen port (IPv6 only, so that it binds beside SDL_net's
// 0.0.0.0), read in batches with the kernel's record of each datagram, and
// one on a port the system picks for sending.
#ifndef LANLINK_NET_IPV6_SOCKETS_H
#define LANLINK_NET_IPV6_SOCKETS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "batch_receiver.h"
#include "datagrams.h"
#include "owned_fd.h"

namespace net {

class Ipv6_Sockets {
  public:
    // How an opening failed: the call, and why (its errno).
    struct Failure {
        std::string call;
        int error = 0;
        // The machine has no IPv6: the family, or [::], is not there.
        bool no_ipv6() const;
    };

    // Opens the receive socket on `port` with a queue of `queue_bytes`.
    std::optional<Failure> open_receive(int port, int queue_bytes);
    std::optional<Failure> open_send();

    bool receiving() const { return receive_.valid(); }
    bool sending() const { return send_.valid(); }
    int descriptor() const { return receive_.get(); }
    int receive() { return receiver_->receive(receive_.get()); }
    const Received& at(int i) const { return receiver_->at(i); }
    int batch() const { return receiver_->capacity(); }
    std::optional<std::uint32_t> drops() const;
    int queue_bytes() const { return queue_bytes_; }

    // Sends the three datagrams to `to`, in slot order, from the sending
    // socket: true when all went.
    bool send_vector(const Endpoint& to, const Vector_Bytes& datagrams);
    // The sending socket's port; 0 before it is open.
    std::uint16_t sending_port() const;

  private:
    Owned_Fd receive_;
    Owned_Fd send_;
    int queue_bytes_ = 0;
    std::vector<unsigned char> buffers_;
    std::optional<Batch_Receiver> receiver_;
};

}  // namespace net

#endif  // LANLINK_NET_IPV6_SOCKETS_H
