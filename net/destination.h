// The operator's destination: the address text and port as given, what
// they resolved to, and this machine's address on the way there.
#ifndef LANLINK_NET_DESTINATION_H
#define LANLINK_NET_DESTINATION_H

#include <string>

#include "endpoint.h"
#include "events.h"
#include "resolve.h"

namespace net {

class Destination_Book {
  public:
    // Names are looked up with `family`'s address taken first.
    Destination_Book(std::string ip, int port, Family family, Peer_Events& events);

    // Resolves the address text with the current port, as a start-up step:
    // false (told as the step's failure) when it cannot be.
    bool resolve_at_start();
    // A new address text, resolved with the current port: 1 on success, 0
    // when the resolution failed (the new text is kept).
    int set_ip(const char* ip);
    // A new port, resolved with the current address text: 1 on success, 0
    // when the resolution failed, -1 when the port is outside 0..65535
    // (refused, nothing changed).
    int set_port(long long port);
    void show() const;

    const Destination& current() const { return current_; }
    const Endpoint& resolved() const { return resolved_; }
    // The numeric address this machine sends from towards the destination:
    // the route is looked up once for each destination.
    std::string local_address() const;

  private:
    // Resolves the address text and port: the reason when it cannot be.
    bool resolve(std::string& reason);
    // The current text and port resolved, each step told: 1 on success, 0 not.
    int change(bool port_given);

    Family family_;
    Peer_Events& events_;
    Destination current_;
    Endpoint resolved_;
    mutable std::string local_address_;  // empty until found for resolved_
};

}  // namespace net

#endif  // LANLINK_NET_DESTINATION_H
