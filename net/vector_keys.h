// What a peer with a shared key does with vectors: it takes only those whose
// trailer verifies, is fresh and was not seen before, and it seals every
// vector it sends. Without a key there is none of this.
#ifndef LANLINK_NET_VECTOR_KEYS_H
#define LANLINK_NET_VECTOR_KEYS_H

#include <cstdint>
#include <memory>

#include "trailer.h"
#include "vector_assembly.h"

namespace net {

class Vector_Keys {
  public:
    // With `key`, whose vectors may be `max_skew_s` seconds off this clock.
    Vector_Keys(std::shared_ptr<const Shared_Key> key, int max_skew_s);

    enum class Verdict { kTaken, kNotAuthenticated, kReplayed, kStale };
    // Whether `vector` is taken at `now_us`. The tag is verified before
    // anything else: one that does not verify changes nothing kept.
    Verdict admit(const wire::AssembledVector& vector, std::uint64_t now_us);
    // The trailer for the next vector sent, whose texts are `texts`.
    Trailer_Bytes seal(const Vector_Bytes& texts, std::uint64_t now_us);

    int max_skew_s() const { return max_skew_s_; }

  private:
    std::shared_ptr<const Shared_Key> key_;
    int max_skew_s_;
    std::uint64_t sender_ = 0;  // this run's id
    std::uint64_t counter_ = 0;
    Replay_Window seen_;
};

// Microseconds since the Unix epoch, now.
std::uint64_t now_us();

}  // namespace net

#endif  // LANLINK_NET_VECTOR_KEYS_H
