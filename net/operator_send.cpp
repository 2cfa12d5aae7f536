#include "operator_send.h"

#include "wire_format.h"

namespace net {

Operator_Send::Operator_Send(Datagram_Sink& sink, Peer_Sockets& sockets,
                             const Destination_Book& destination, int listen_port,
                             Peer_Events& events, Vector_Keys* keys)
    : sink_(sink),
      sockets_(sockets),
      destination_(destination),
      listen_port_(std::to_string(listen_port)),
      events_(events),
      keys_(keys) {}

int Operator_Send::send_word(std::string_view word) {
    const std::size_t longest = keys_ != nullptr ? wire::kLongestKeyedWord
                                                 : static_cast<std::size_t>(wire::kPacketSize) - 1;
    if (word.size() > longest) {
        events_.send_too_long(word, longest, keys_ != nullptr);
        return 0;
    }
    // Each text travels with its terminating zero.
    const std::string address = destination_.local_address();
    std::string word_text(word);
    Vector_Bytes datagrams = {std::string_view(address.c_str(), address.size() + 1),
                              std::string_view(listen_port_.c_str(), listen_port_.size() + 1),
                              std::string_view(word_text.c_str(), word_text.size() + 1)};
    if (keys_ != nullptr) {
        const Trailer_Bytes trailer = keys_->seal(datagrams, now_us());
        word_text.push_back('\0');
        word_text.append(reinterpret_cast<const char*>(trailer.data()), trailer.size());
        datagrams.at(2) = word_text;
    }
    if (!sink_.send_vector(destination_.resolved(), datagrams)) {
        events_.send_failed(word, destination_.current());
        return 0;
    }
    ++sent_;
    events_.sent(word, destination_.current());
    return 1;
}

void Operator_Send::send_update(const char* data, UDPpacket** source, const std::string& host,
                                int port) {
    events_.update_sending(source[0]->address.host, source[0]->address.port);
    IPaddress to{};
    if (SDLNet_ResolveHost(&to, host.c_str(), static_cast<Uint16>(port)) != 0) {
        // An unresolved address reads as the broadcast address: send nothing.
        events_.update_unresolved();
        return;
    }
    sockets_.send_first_slot(data, to);
}

}  // namespace net
