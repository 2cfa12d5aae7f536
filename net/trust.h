// Who may talk to a peer, and where its answers go: the networks whose
// datagrams are taken, and the endpoint that update answers are sent to.
#ifndef LANLINK_NET_TRUST_H
#define LANLINK_NET_TRUST_H

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "endpoint.h"

namespace net {

// A network: the addresses of `family` whose first `bits` bits are those
// of `address` (its bytes in network order, 4 of them for IPv4).
struct Network {
    int family = AF_INET;
    std::array<std::uint8_t, 16> address{};
    int bits = 32;
};

// Reads "ADDRESS[/BITS]": a numeric address or a host name (resolved now,
// once), and BITS from 0 to the address's length in bits (all of them when
// left out). False, with what is wrong in `error`, when the text is not
// one. A text of digits and dots is never looked up as a name.
bool parse_network(std::string_view text, Network& network, std::string& error);

// Whether `from` is in one of `networks`; every source is when there are none.
bool allowed(const std::vector<Network>& networks, const Endpoint& from);

// Where update answers go: a fixed endpoint, or the asker's own address.
struct Answer_To {
    bool sender = false;  // to the update's true source address, at `endpoint`'s port
    Endpoint endpoint;
};

// Reads "HOST[:PORT]": HOST a numeric address, a host name or the word
// "sender"; PORT from 1 to 65535, 4556 when left out.
bool parse_answer_to(std::string_view text, Answer_To& answer_to, std::string& error);

// The answer endpoint lanlink has always used: 127.0.0.1 port 4556.
Answer_To default_answer_to();

// Where the answer to an update from `from` goes.
Endpoint answer_endpoint(const Answer_To& answer_to, const Endpoint& from);

}  // namespace net

#endif  // LANLINK_NET_TRUST_H
