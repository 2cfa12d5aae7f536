// Putting packet vectors together from datagrams, one sender at a time.
//
// A vector is the next three datagrams from one sender (source address and
// port), in the order they arrive; datagrams of different senders never
// share a vector. A vector whose rest does not come within the completion
// time is given up as incomplete, with its missing slots empty. The table of
// incomplete vectors is bounded, so that datagrams from many source ports
// cannot grow memory: a new sender beyond the bound gives up the oldest one.
#ifndef LANLINK_NET_VECTOR_ASSEMBLY_H
#define LANLINK_NET_VECTOR_ASSEMBLY_H

#include <SDL_net.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <vector>

#include "wire_format.h"

namespace wire {

struct AssembledVector {
    IPaddress from{};
    int filled = 0;  // datagrams that arrived, in slot order: 3 for a whole vector
    std::array<std::array<unsigned char, kPacketSize>, kPacketsPerVector> data{};
    std::array<std::size_t, kPacketsPerVector> len{};

    bool whole() const { return filled == kPacketsPerVector; }
};

class VectorAssembly {
  public:
    using Clock = std::chrono::steady_clock;

    VectorAssembly(Clock::duration completion, std::size_t most_senders);

    // One datagram of `len` bytes from `from` (cut to a packet's size). A
    // vector it completes is ready at once.
    void add(const IPaddress& from, const unsigned char* bytes, std::size_t len,
             Clock::time_point now);
    // Gives up, as incomplete, every vector whose time is up at `now`.
    void expire(Clock::time_point now);
    // Gives up every incomplete vector now, oldest first.
    void give_up_all();
    // When the oldest incomplete vector's time is up; nothing when none waits.
    std::optional<Clock::time_point> next_deadline() const;

    bool has_ready() const { return !ready_.empty(); }
    // The oldest ready vector; only while has_ready().
    const AssembledVector& front() const { return ready_.front(); }
    void pop() { ready_.pop_front(); }
    std::size_t waiting_senders() const { return pending_.size(); }

  private:
    struct Pending {
        AssembledVector vector;
        Clock::time_point deadline;
    };
    void finish(std::size_t index);  // moves pending_[index] to the ready queue

    Clock::duration completion_;
    std::size_t most_senders_;
    std::vector<Pending> pending_;  // oldest first
    std::deque<AssembledVector> ready_;
};

}  // namespace wire

#endif  // LANLINK_NET_VECTOR_ASSEMBLY_H
