// What the operator puts on the wire: a word to the destination as a packet
// vector (this machine's address on the way there, the listen port and the
// word), and send_update()'s single slot to a fixed endpoint.
#ifndef LANLINK_NET_OPERATOR_SEND_H
#define LANLINK_NET_OPERATOR_SEND_H

#include <SDL_net.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "destination.h"
#include "events.h"
#include "peer_sockets.h"
#include "vector_keys.h"

namespace net {

class Operator_Send {
  public:
    // Vectors go out by `sink`; send_update() by SDL_net's `sockets`. With
    // `keys`, each vector is sealed with a trailer.
    Operator_Send(Datagram_Sink& sink, Peer_Sockets& sockets, const Destination_Book& destination,
                  int listen_port, Peer_Events& events, Vector_Keys* keys = nullptr);

    // 1 when all three datagrams went out; otherwise 0, told.
    int send_word(std::string_view word);
    std::uint64_t sent() const { return sent_; }

    // Slot 0 as `data` to the fixed endpoint `host`:`port`, after telling
    // `source`'s first packet's address.
    void send_update(const char* data, UDPpacket** source, const std::string& host, int port);

  private:
    Datagram_Sink& sink_;
    Peer_Sockets& sockets_;
    const Destination_Book& destination_;
    std::string listen_port_;
    Peer_Events& events_;
    Vector_Keys* keys_;
    std::uint64_t sent_ = 0;
};

}  // namespace net

#endif  // LANLINK_NET_OPERATOR_SEND_H
