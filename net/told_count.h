// A count of things refused or lost, told in one line at most once a
// second: how many since the last line, and the last source among them.
#ifndef LANLINK_NET_TOLD_COUNT_H
#define LANLINK_NET_TOLD_COUNT_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "endpoint.h"
#include "vector_assembly.h"

namespace net {

class Told_Count {
  public:
    using Clock = wire::Clock;
    static constexpr auto kEvery = std::chrono::seconds(1);

    void add(const Endpoint& from, std::size_t size = 0) {
        ++untold_;
        ++total_;
        last_from_ = from;
        last_size_ = size;
    }
    // Whether a line is due at `now` (or, with `at_end`, whatever the time).
    bool due(Clock::time_point now, bool at_end) const {
        return untold_ > 0 && (at_end || now >= next_line_);
    }
    // The count to tell now; the next line waits a second from `now`.
    std::uint64_t take(Clock::time_point now) {
        const std::uint64_t count = untold_;
        untold_ = 0;
        next_line_ = now + kEvery;
        return count;
    }
    // When a line still owed may be told; nothing when none is owed.
    std::optional<Clock::time_point> next_line() const {
        return untold_ > 0 ? std::optional<Clock::time_point>(next_line_) : std::nullopt;
    }
    const Endpoint& last_from() const { return last_from_; }
    std::size_t last_size() const { return last_size_; }
    std::uint64_t total() const { return total_; }

  private:
    std::uint64_t untold_ = 0;
    std::uint64_t total_ = 0;
    Endpoint last_from_;
    std::size_t last_size_ = 0;
    Clock::time_point next_line_{};
};

}  // namespace net

#endif  // LANLINK_NET_TOLD_COUNT_H
