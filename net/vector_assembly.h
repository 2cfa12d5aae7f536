// Putting packet vectors together from datagrams, one sender at a time, by
// the kernel's own record of each datagram: when it arrived and how many
// datagrams the socket had dropped before it.
//
// A vector is the next three datagrams from one sender (source address and
// port), in the order they arrive, within a window of its first: a datagram
// that comes later than that starts a new vector, and the old one is given
// up as incomplete. A drop anywhere before a datagram gives up every
// incomplete vector, so that no vector is made of datagrams from both sides
// of a loss. The table of incomplete vectors is bounded: a new sender beyond
// the bound gives up the oldest one.
//
// After a drop on a socket, where its senders' next datagrams fall in their
// vectors is not known: the kernel does not say whose datagrams it dropped,
// so any sender may have lost the first of a vector. A sender's datagram
// starts a vector again only when it comes more than a window after both
// the loss and the sender's own last datagram: no vector's datagrams spread
// wider than a window, so such a gap lies between two vectors. Until then
// its datagrams are set aside, not shifted into vectors they do not belong to.
//
// What comes out, in the order it happened, is whole vectors, given-up
// vectors and drop counts.
#ifndef LANLINK_NET_VECTOR_ASSEMBLY_H
#define LANLINK_NET_VECTOR_ASSEMBLY_H

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <optional>
#include <unordered_map>
#include <vector>

#include "endpoint.h"
#include "wire_format.h"

namespace wire {

using Clock = std::chrono::steady_clock;

struct AssembledVector {
    net::Endpoint from;
    int filled = 0;  // datagrams that arrived, in slot order: 3 for a whole vector
    std::array<std::array<unsigned char, kPacketSize>, kPacketsPerVector> data{};
    std::array<std::size_t, kPacketsPerVector> len{};
    std::array<std::size_t, kPacketsPerVector> size{};  // each datagram's own length
    Clock::time_point began{};                          // the first datagram's arrival
    Clock::time_point ended{};  // the last datagram's: for a whole vector, when it became whole
    timespec ended_real{};      // the same moment, real time

    bool whole() const { return filled == kPacketsPerVector; }
};

// One datagram as the kernel handed it over.
struct Arrival {
    net::Endpoint from;
    const unsigned char* bytes = nullptr;
    std::size_t len = 0;
    std::size_t size = 0;     // its own length, when more than `len` were sent
    std::size_t socket = 0;   // which of the receive sockets it came on
    std::uint32_t drops = 0;  // that socket's drop count as of this datagram (wraps at 2^32)
    Clock::time_point at{};   // its arrival
    timespec real{};          // the same moment, real time
};

// What the assembly hands on.
struct Assembled {
    enum class Kind { kVector, kDrops };
    Kind kind = Kind::kVector;
    std::uint32_t drops = 0;                  // kDrops: how many were dropped just here
    const AssembledVector* vector = nullptr;  // kVector: whole, or given up
};

class VectorAssembly {
  public:
    // Datagrams come on up to kMostSockets sockets; `drops` is the first
    // one's drop count before its first datagram (none on the others).
    static constexpr std::size_t kMostSockets = 2;
    VectorAssembly(Clock::duration window, std::size_t most_senders, std::uint32_t drops = 0);

    // False when the datagram was set aside: it came after a loss, too soon
    // to know where it fell in its vector.
    bool add(const Arrival& datagram);
    // A socket's drop count as learned between datagrams, at `at`: any
    // change is a loss after the last datagram added and before `at`, and
    // ends every incomplete vector.
    void note_drops(std::size_t socket, std::uint32_t drops, Clock::time_point at);
    // Gives up every vector whose window has passed at `now`, when no
    // datagram that arrived before `now` is still to be added.
    void expire(Clock::time_point now);
    // Gives up every incomplete vector now, oldest first.
    void give_up_all();
    // When the oldest incomplete vector's window passes; nothing when none waits.
    std::optional<Clock::time_point> next_deadline() const;

    bool has_ready() const { return !ready_.empty(); }
    std::size_t ready_count() const { return ready_.size(); }
    // The oldest of what is ready; only while has_ready(). Its vector stays
    // valid until pop() or the next add().
    Assembled front() const;
    void pop();

    std::size_t waiting_senders() const { return by_sender_.size(); }
    // The drop count of the last datagram added on `socket`.
    std::uint32_t drops_seen(std::size_t socket = 0) const { return drops_seen_.at(socket); }
    Clock::duration window() const { return window_; }

  private:
    static constexpr std::uint32_t kNone = UINT32_MAX;

    // A vector's place: incomplete ones are linked oldest first; ready ones
    // stay where they were put together until they have been handled.
    struct Slot {
        AssembledVector vector;
        std::uint32_t older = kNone;
        std::uint32_t newer = kNone;
    };
    struct Ready {
        Assembled::Kind kind;
        std::uint32_t drops;  // kDrops
        std::uint32_t slot;   // kVector
    };

    // Since a loss on a socket: from when no sender's place is known, and
    // each sender's last datagram set aside since then.
    struct Unsure {
        std::optional<Clock::time_point> since;
        std::unordered_map<net::Endpoint, Clock::time_point> last;
        Clock::time_point looked{};  // when `last` was last cleared of the settled
    };

    // Whether a datagram of a sender with no vector under way may start one.
    bool placed(const Arrival& datagram);
    // Forgets the senders whose last datagram is more than a window before `at`.
    void settle(Unsure& unsure, Clock::time_point at);
    std::uint32_t start(const Arrival& datagram);
    void finish(std::uint32_t index);  // makes an incomplete vector ready

    Clock::duration window_;
    std::size_t most_senders_;
    std::array<std::uint32_t, kMostSockets> drops_seen_{};
    std::array<Unsure, kMostSockets> unsure_;
    std::vector<Slot> slots_;  // grows with what waits; free slots are reused
    std::vector<std::uint32_t> free_;
    std::unordered_map<net::Endpoint, std::uint32_t> by_sender_;
    std::uint32_t oldest_ = kNone;
    std::uint32_t newest_ = kNone;
    std::deque<Ready> ready_;
};

}  // namespace wire

#endif  // LANLINK_NET_VECTOR_ASSEMBLY_H
