#include "vector_assembly.h"

#include <algorithm>
#include <cstring>

namespace wire {

namespace {

bool same_sender(const IPaddress& a, const IPaddress& b) {
    return a.host == b.host && a.port == b.port;
}

}  // namespace

VectorAssembly::VectorAssembly(Clock::duration completion, std::size_t most_senders)
    : completion_(completion), most_senders_(std::max<std::size_t>(most_senders, 1)) {
    pending_.reserve(most_senders_);
}

void VectorAssembly::add(const IPaddress& from, const unsigned char* bytes, std::size_t len,
                         Clock::time_point now) {
    auto found = std::find_if(pending_.begin(), pending_.end(),
                              [&](const Pending& p) { return same_sender(p.vector.from, from); });
    if (found == pending_.end()) {
        if (pending_.size() == most_senders_) {
            finish(0);
        }
        pending_.push_back(Pending{AssembledVector{}, now + completion_});
        found = pending_.end() - 1;
        found->vector.from = from;
    }
    AssembledVector& vector = found->vector;
    const auto slot = static_cast<std::size_t>(vector.filled);
    const std::size_t kept = std::min(len, static_cast<std::size_t>(kPacketSize));
    if (kept > 0) {
        std::memcpy(vector.data.at(slot).data(), bytes, kept);
    }
    vector.len.at(slot) = kept;
    if (++vector.filled == kPacketsPerVector) {
        finish(static_cast<std::size_t>(found - pending_.begin()));
    }
}

void VectorAssembly::expire(Clock::time_point now) {
    // The table is oldest first, and every vector waits equally long.
    while (!pending_.empty() && pending_.front().deadline <= now) {
        finish(0);
    }
}

void VectorAssembly::give_up_all() {
    while (!pending_.empty()) {
        finish(0);
    }
}

std::optional<VectorAssembly::Clock::time_point> VectorAssembly::next_deadline() const {
    if (pending_.empty()) {
        return std::nullopt;
    }
    return pending_.front().deadline;
}

void VectorAssembly::finish(std::size_t index) {
    ready_.push_back(pending_[index].vector);
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(index));
}

}  // namespace wire
