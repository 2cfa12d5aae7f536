// What whole vectors make the peer do: each is shown, an "update" is
// answered no sooner than its pause after it became whole, a "quit" ends
// the peer, and everything is counted. A pure unit: vectors come from the
// assembly, the time is given, answers go to a sink and the rest is told
// as events.
#ifndef LANLINK_NET_PEER_CORE_H
#define LANLINK_NET_PEER_CORE_H

#include <chrono>
#include <optional>

#include "datagrams.h"
#include "events.h"
#include "told_count.h"
#include "trust.h"
#include "vector_assembly.h"
#include "vector_keys.h"

namespace net {

class Peer_Core {
  public:
    using Clock = wire::Clock;

    // With `keys`, only vectors they take are handled, and answers are sealed.
    Peer_Core(const Answer_To& answer_to, Datagram_Sink& wire, Peer_Events& events,
              Vector_Keys* keys = nullptr);

    enum class Handled { kGoOn, kPeerQuit };
    // Handles, in the order they came, what `ready` holds and is due at
    // `now`. Vectors are handled in the order they came together: one whose
    // answer's pause is not over holds up the ones after it. At a whole
    // "quit" it stops, leaving what came after it.
    Handled handle(wire::VectorAssembly& ready, Clock::time_point now);
    // When the oldest ready item may be handled: later than now only for an
    // update whose answer's pause is not over; nothing when none is ready.
    std::optional<Clock::time_point> next_due(const wire::VectorAssembly& ready) const;

    const Peer_Counters& counters() const { return counters_; }
    // Tells the vectors refused and not yet told: at most once a second for
    // each reason, unless `at_end`.
    void tell_counts(Clock::time_point now, bool at_end);
    // When a line owed may be told; nothing when none is owed.
    std::optional<Clock::time_point> next_count_line() const;
    // Drops the kernel had counted when they were handed over, all sockets
    // together.
    std::uint64_t drops_counted() const { return counters_.datagrams_dropped; }

  private:
    // Handles one vector: kPeerQuit for a whole "quit".
    Handled handle_vector(const wire::AssembledVector& vector);

    // Whether a peer with a key takes `vector`; counted when it does not.
    bool admitted(const wire::AssembledVector& vector);

    Answer_To answer_to_;
    Datagram_Sink& wire_;
    Peer_Events& events_;
    Vector_Keys* keys_;
    Peer_Counters counters_;
    std::array<Told_Count, 3> refused_;  // by Refusal
};

// The three datagrams that answer an update whose address and port texts
// are `address` and `port`: each cut to, or padded with zeros to, a whole
// answer datagram, and "up_resp" padded the same way.
using Answer_Bytes = std::array<std::array<char, wire::kAnswerLength>, wire::kPacketsPerVector>;
Answer_Bytes answer_to_update(std::string_view address, std::string_view port);

}  // namespace net

#endif  // LANLINK_NET_PEER_CORE_H
