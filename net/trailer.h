// Keyed vectors: the trailer that a key holder puts after the keyword (its
// layout is in wire_format.h), the tag that only a key holder can make, and
// the window of counters that refuses a vector seen before. A pure unit:
// the key, the texts and the time are given.
#ifndef LANLINK_NET_TRAILER_H
#define LANLINK_NET_TRAILER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "datagrams.h"
#include "shared_key.h"
#include "wire_format.h"

namespace net {

// What a trailer says besides its tag.
struct Trailer {
    std::uint64_t sender = 0;
    std::uint64_t counter = 0;
    std::uint64_t sent_us = 0;  // microseconds since the Unix epoch
};

using Trailer_Bytes = std::array<unsigned char, wire::kTrailerBytes>;

// A slot's text as the tag covers it: up to its first zero, or all of it.
std::string_view tagged_text(std::string_view datagram);

// The trailer for a vector whose slots' texts are `texts`, tagged with `key`.
Trailer_Bytes seal(const Shared_Key& key, const Trailer& trailer, const Vector_Bytes& texts);

// The trailer that ends `third` (a vector's third datagram, trailer
// included), when it is one and its tag verifies under `key` over the
// vector's texts (the first two datagrams, and `third` less its trailer):
// nothing otherwise. The tag is compared in constant time.
std::optional<Trailer> open(const Shared_Key& key, std::string_view first, std::string_view second,
                            std::string_view third);

// Which counters each sender has sent: the last kReplayWindow of each, for
// up to kMostKeyedSenders senders (the one heard from longest ago forgotten
// first).
class Replay_Window {
  public:
    enum class Verdict { kTaken, kReplayed, kStale };
    // Whether a vector whose trailer verified is taken at `now_us`: its send
    // time within `max_skew_us` of it, and its counter not seen before (and
    // not older than the window). Only a taken vector changes what is kept.
    Verdict check(const Trailer& trailer, std::uint64_t now_us, std::uint64_t max_skew_us);
    std::size_t senders() const { return by_sender_.size(); }

  private:
    // One word more than the window needs: the top counter's own word is
    // only partly within it.
    static constexpr std::size_t kWords = wire::kReplayWindow / 64 + 1;
    struct Seen {
        std::uint64_t top = 0;  // the highest counter taken
        std::array<std::uint64_t, kWords> bits{};
        std::list<std::uint64_t>::iterator in_order;
    };
    std::unordered_map<std::uint64_t, Seen> by_sender_;
    std::list<std::uint64_t> order_;  // heard from last at the front
};

}  // namespace net

#endif  // LANLINK_NET_TRAILER_H
