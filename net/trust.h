// Who may talk to a peer, and where its answers go: the networks whose
// datagrams are taken, and the endpoint that update answers are sent to.
#ifndef LANLINK_NET_TRUST_H
#define LANLINK_NET_TRUST_H

#include <SDL_net.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace net {

// An IPv4 network: the addresses whose first `bits` bits are those of
// `address` (host byte order).
struct Network {
    std::uint32_t address = 0;
    int bits = 32;
};

// Reads "ADDRESS[/BITS]": a dotted IPv4 address or a host name (resolved
// now, once), and BITS from 0 to 32 (32 when left out). False, with what
// is wrong in `error`, when the text is not one. A text of digits and dots
// is never looked up as a name.
bool parse_network(std::string_view text, Network& network, std::string& error);

// Whether `from` (network byte order, as SDL_net keeps it) is in one of
// `networks`; every source is when there are none.
bool allowed(const std::vector<Network>& networks, const IPaddress& from);

// Where update answers go: a fixed endpoint, or the asker's own address.
struct Answer_To {
    bool sender = false;   // to the update's true source address, at `endpoint`'s port
    IPaddress endpoint{};  // network byte order
};

// Reads "HOST[:PORT]": HOST a dotted IPv4 address, a host name or the word
// "sender"; PORT from 1 to 65535, 4556 when left out.
bool parse_answer_to(std::string_view text, Answer_To& answer_to, std::string& error);

// The answer endpoint lanlink has always used: 127.0.0.1 port 4556.
Answer_To default_answer_to();

// "a.b.c.d:port", for messages.
std::string endpoint_text(const IPaddress& address);

}  // namespace net

#endif  // LANLINK_NET_TRUST_H
