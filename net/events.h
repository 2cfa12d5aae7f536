// What the network side reports: typed values, handed to one listener. The
// network code says what happened; how it is told (text, JSON) is the
// listener's business, and nothing in net/ prints.
#ifndef LANLINK_NET_EVENTS_H
#define LANLINK_NET_EVENTS_H

#include <time.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "endpoint.h"
#include "wire_format.h"

namespace net {

// What the peer has done since it started.
struct Peer_Counters {
    std::uint64_t vectors_received = 0;    // whole and incomplete
    std::uint64_t incomplete_vectors = 0;  // given up before their third datagram came
    std::uint64_t updates_answered = 0;
    std::uint64_t vectors_sent = 0;       // by the operator's send
    std::uint64_t datagrams_dropped = 0;  // by the system, its receive queue full
    // After a drop, until their senders paused: where they fell in their
    // vectors was not known.
    std::uint64_t datagrams_set_aside = 0;
    std::uint64_t datagrams_refused = 0;  // from hosts not allowed
    std::uint64_t datagrams_cut = 0;      // longer than a packet, cut to it
    // With a shared key: vectors refused, by why.
    bool keyed = false;
    std::uint64_t vectors_not_authenticated = 0;
    std::uint64_t vectors_replayed = 0;
    std::uint64_t vectors_stale = 0;
    // With a capture file: datagrams written to it, and those that were not.
    bool capturing = false;
    std::uint64_t datagrams_captured = 0;
    std::uint64_t datagrams_not_captured = 0;
};

// Why a peer with a shared key refused a vector.
enum class Refusal { kNotAuthenticated, kReplayed, kStale };

// A vector received: whole, or given up before its third datagram came.
struct Vector_Event {
    Endpoint from;
    int filled = 0;  // datagrams that came, in slot order: 3 for a whole vector
    // Each slot's bytes as received (at most a packet's size), and their
    // count; the slot's text ends at its first zero.
    std::array<const unsigned char*, wire::kPacketsPerVector> bytes{};
    std::array<std::size_t, wire::kPacketsPerVector> len{};
    // Each slot's datagram's own length: more than `len` when it was cut.
    std::array<std::size_t, wire::kPacketsPerVector> size{};
    timespec arrived{};  // the last datagram's arrival, real time
    bool quit = false;   // a whole "quit": the peer ends after this
    bool update = false;
    bool authenticated = false;  // its trailer verified under the peer's key
    // For an update: where its answer went, and whether all of it did.
    Endpoint answered_to;
    bool answer_sent = false;

    bool whole() const { return filled == wire::kPacketsPerVector; }
    // Slot `i`'s text, up to its first zero.
    std::string_view text(int i) const;
};

// Start-up and shut-down steps, in the order they come.
enum class Step {
    kListenPort,         // the listen port given, or the default taken
    kCaptureFile,        // the capture file opened
    kLibrary,            // SDL_net started
    kReceiveSocket,      // the listen port opened
    kIpv6ReceiveSocket,  // beside it, the listen port opened for IPv6 too
    kSendSocket,         // the sending socket opened
    kDestination,        // the destination resolved
    kOutboundMemory,     // the outbound packets allocated
    kInboundMemory,      // the inbound packets allocated
};
enum class Shutdown_Step {
    kSendingClient,   // the sockets closed
    kOutboundMemory,  // the outbound packets freed
    kInboundMemory,   // the inbound packets freed
    kLibrary,         // SDL_net shut down
};

// The operator's destination as it stands.
struct Destination {
    std::string ip;  // the address text as given
    int port = 0;    // the port as given
};

class Peer_Events {
  public:
    virtual ~Peer_Events() = default;

    // Start-up: a step begins; it ends with step_done() or step_failed(),
    // after which the process ends with status 1. `port` is the listen port
    // for the first two steps; `default_port` says it was not given.
    virtual void step_begun(Step step, int port, bool default_port) = 0;
    virtual void step_done(Step step) = 0;
    // `call` names the failed call ("SDLNet_UDP_Open(port)"), `reason` why.
    virtual void step_failed(Step step, std::string_view call, std::string_view reason) = 0;
    virtual void shutdown_step(Shutdown_Step step) = 0;
    // The receive queue the kernel gave, and what was asked for, in bytes
    // as the kernel counts them.
    virtual void receive_queue(int bytes, int wanted) = 0;

    virtual void vector(const Vector_Event& vector) = 0;
    // Datagrams the system dropped before they could be read, just here.
    virtual void dropped(std::uint64_t count) = 0;
    // Datagrams refused since the last time this was told.
    virtual void refused(std::uint64_t count, const Endpoint& last_from) = 0;
    // Datagrams longer than a packet, cut to it, since the last time this
    // was told; the last one's own length.
    virtual void cut(std::uint64_t count, const Endpoint& last_from, std::size_t last_size) = 0;
    // Datagrams set aside since the last time this was told: they came
    // after a drop, too soon after it (or after their sender's last one) to
    // know where they fell in their vectors.
    virtual void set_aside(std::uint64_t count, const Endpoint& last_from) = 0;
    // At the end: datagrams that waited when the way out began and that its
    // time did not leave room to handle.
    virtual void left_unread(std::uint64_t count) = 0;
    // Vectors refused for `why` since the last time this was told; a stale
    // one's send time was more than `max_skew_s` seconds off.
    virtual void vectors_refused(Refusal why, std::uint64_t count, const Endpoint& last_from,
                                 int max_skew_s) = 0;
    // The capture file `path` could not be written (errno `error`): the
    // capture has stopped, the peer goes on.
    virtual void capture_failed(std::string_view path, int error) = 0;
    // Datagrams not captured since the last time this was told: the capture
    // could not keep up, or (`stopped`) had stopped.
    virtual void not_captured(std::uint64_t count, bool stopped) = 0;

    // The operator's send of `word` to the destination.
    virtual void sent(std::string_view word, const Destination& to) = 0;
    virtual void send_failed(std::string_view word, const Destination& to) = 0;
    // Refused before anything went out: the word is longer than `longest`
    // bytes (its zero, and with a key its trailer, must fit the packet).
    virtual void send_too_long(std::string_view word, std::size_t longest, bool keyed) = 0;

    // A change of destination begins (`ip` or `port` given), and how it ends.
    virtual void destination_changing(const Destination& to, bool port_given) = 0;
    virtual void destination_resolved(const Destination& to) = 0;
    virtual void destination_failed(const Destination& to, std::string_view reason) = 0;
    // A port outside 0..65535: refused, the destination unchanged.
    virtual void port_out_of_range(long long port, const Destination& stays) = 0;
    virtual void destination_shown(const Destination& now) = 0;

    // send_update(): the source's raw address, and an endpoint that could
    // not be resolved.
    virtual void update_sending(std::uint32_t host, std::uint16_t port) = 0;
    virtual void update_unresolved() = 0;
};

}  // namespace net

#endif  // LANLINK_NET_EVENTS_H
