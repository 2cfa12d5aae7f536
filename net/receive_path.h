// The way in: datagrams from the source, through the allow list, into the
// assembly, with the kernel's drops noted in their place. Reads are bounded,
// so that a flood never keeps the keyboard waiting for long and memory stays
// bounded: past the bound the kernel's queue holds the rest.
#ifndef LANLINK_NET_RECEIVE_PATH_H
#define LANLINK_NET_RECEIVE_PATH_H

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "datagrams.h"
#include "events.h"
#include "told_count.h"
#include "trust.h"
#include "vector_assembly.h"

namespace net {

class Receive_Path {
  public:
    using Clock = wire::Clock;

    // `source`'s sockets are new: nothing has been dropped on them yet.
    Receive_Path(Datagram_Source& source, Clock::duration window, std::vector<Network> allow,
                 Peer_Events& events);

    // How a read ended.
    enum class Read {
        kDrained,  // nothing more waits (or the socket failed)
        kBounded,  // a turn's worth read, or enough waits to be handled
        kCutOff,   // a datagram came after the cutoff: what came before is all read
    };
    // Reads what waits (a bounded amount) into the assembly and gives up the
    // vectors whose window has passed by `now` (the time before the read).
    // `readable` has a bit for each socket that has something (bit 0 for
    // socket 0); with none, nothing is read unless a window has passed: only
    // after a read is it known that nothing of the vector still waits. With
    // a `cutoff` (real time), a datagram that arrived after it ends the read
    // and is not taken.
    Read take(std::uint32_t readable, Clock::time_point now, const timespec* cutoff = nullptr);
    // `readable` for every socket.
    static constexpr std::uint32_t kAll = ~std::uint32_t{0};
    // At the end, when time has run out: reads and counts, without taking
    // them, the datagrams that came before `cutoff`.
    std::uint64_t count_before(const timespec& cutoff);
    // The way out: the drops since the last datagram read are noted, and
    // every incomplete vector is given up.
    void end();

    wire::VectorAssembly& assembly() { return assembly_; }
    const wire::VectorAssembly& assembly() const { return assembly_; }
    // When an incomplete vector's window passes; nothing when none waits.
    std::optional<Clock::time_point> next_deadline() const { return assembly_.next_deadline(); }

    // Tells the refusals, cut datagrams and datagrams set aside not yet
    // told: at most once a second each, unless `at_end`.
    void tell_counts(Clock::time_point now, bool at_end);
    // When a line owed may be told; nothing when none is owed.
    std::optional<Clock::time_point> next_count_line() const;
    std::uint64_t refused() const { return refused_.total(); }
    std::uint64_t cut() const { return cut_.total(); }
    std::uint64_t set_aside() const { return set_aside_.total(); }
    // Dropped by the kernel since the sockets opened, up to now; nothing
    // where the kernel cannot tell.
    std::optional<std::uint64_t> drops_since_start() const;
    // The drops seen so far, all of them told once end() has run.
    std::uint64_t drops_seen() const;

  private:
    // Reads `socket` (a bounded amount): true once it has run empty, or a
    // datagram came after the cutoff (`cut_off` is set then).
    bool read_socket(std::size_t socket, const timespec* cutoff, bool& cut_off);
    // Takes one datagram read: refused, or into the assembly.
    void take_one(std::size_t socket, const Received& got, Clock::time_point read_at,
                  const timespec& real_now);
    // At a read that found the queue empty: asks the kernel for drops that
    // no datagram has told of yet, when there can be any.
    void look_for_drops(std::size_t socket);

    Datagram_Source& source_;
    std::vector<Network> allow_;
    Peer_Events& events_;
    wire::VectorAssembly assembly_;
    // Of each socket: the last datagram's arrival, and how much of its queue,
    // at most, was taken since it last ran empty.
    std::array<Clock::time_point, wire::VectorAssembly::kMostSockets> last_arrival_{};
    std::array<std::size_t, wire::VectorAssembly::kMostSockets> read_since_drained_{};
    Told_Count refused_;
    Told_Count cut_;
    Told_Count set_aside_;
};

}  // namespace net

#endif  // LANLINK_NET_RECEIVE_PATH_H
