#include "vector_assembly.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace wire {

VectorAssembly::VectorAssembly(Clock::duration window, std::size_t most_senders,
                               std::uint32_t drops)
    : window_(window), most_senders_(std::max<std::size_t>(most_senders, 1)), drops_seen_{drops} {
    // Reserved, not touched: memory grows only with the senders really waiting.
    slots_.reserve(most_senders_);
    by_sender_.reserve(most_senders_);
}

void VectorAssembly::note_drops(std::size_t socket, std::uint32_t drops, Clock::time_point at) {
    std::uint32_t& seen = drops_seen_.at(socket);
    if (drops == seen) {
        return;
    }
    // Whatever senders were in the middle of may have lost datagrams here:
    // their vectors end now, and the loss is told in its place.
    give_up_all();
    // The kernel's count wraps at 2^32.
    ready_.push_back(Ready{Assembled::Kind::kDrops, drops - seen, kNone});
    seen = drops;
    // What was dropped came before `at`.
    Unsure& unsure = unsure_.at(socket);
    unsure.since = unsure.since ? std::max(*unsure.since, at) : at;
}

bool VectorAssembly::placed(const Arrival& datagram) {
    Unsure& unsure = unsure_.at(datagram.socket);
    if (!unsure.since) {
        return true;
    }
    // The sender's datagram before this one came at `before` at the latest:
    // its last one set aside, or one lost before the loss was known.
    const auto last = unsure.last.find(datagram.from);
    const Clock::time_point before =
        last != unsure.last.end() ? std::max(*unsure.since, last->second) : *unsure.since;
    if (datagram.at - before > window_) {
        if (last != unsure.last.end()) {
            unsure.last.erase(last);
        }
        settle(unsure, datagram.at);
        return true;
    }
    if (last != unsure.last.end()) {
        last->second = datagram.at;
    } else if (unsure.last.size() < most_senders_) {
        unsure.last.emplace(datagram.from, datagram.at);
    } else {
        // Too many senders to follow: none is placed until a window from now.
        unsure.last.clear();
        unsure.since = datagram.at;
    }
    return false;
}

void VectorAssembly::settle(Unsure& unsure, Clock::time_point at) {
    // Looked at once a window at most, and only once the loss is a window past.
    if (at - *unsure.since <= window_ || at - unsure.looked <= window_) {
        return;
    }
    unsure.looked = at;
    for (auto it = unsure.last.begin(); it != unsure.last.end();) {
        it = at - it->second > window_ ? unsure.last.erase(it) : std::next(it);
    }
    if (unsure.last.empty()) {
        unsure.since.reset();  // every sender's place is known again
    }
}

bool VectorAssembly::add(const Arrival& datagram) {
    note_drops(datagram.socket, datagram.drops, datagram.at);
    std::uint32_t index = kNone;
    const auto found = by_sender_.find(datagram.from);
    if (found != by_sender_.end()) {
        index = found->second;
        // Later than the window allows: this datagram starts the sender's next vector.
        if (datagram.at - slots_[index].vector.began > window_) {
            finish(index);
            index = kNone;
        }
    } else if (!placed(datagram)) {
        return false;
    }
    if (index == kNone) {
        index = start(datagram);
    }
    AssembledVector& vector = slots_[index].vector;
    const auto slot = static_cast<std::size_t>(vector.filled);
    const std::size_t kept = std::min(datagram.len, static_cast<std::size_t>(kPacketSize));
    if (kept > 0) {
        std::memcpy(vector.data.at(slot).data(), datagram.bytes, kept);
    }
    vector.len.at(slot) = kept;
    vector.size.at(slot) = std::max(datagram.size, kept);
    vector.ended = datagram.at;
    vector.ended_real = datagram.real;
    if (++vector.filled == kPacketsPerVector) {
        finish(index);
    }
    return true;
}

std::uint32_t VectorAssembly::start(const Arrival& datagram) {
    if (by_sender_.size() == most_senders_) {
        finish(oldest_);
    }
    std::uint32_t index = 0;
    if (!free_.empty()) {
        index = free_.back();
        free_.pop_back();
        slots_[index].vector = AssembledVector{};
    } else {
        index = static_cast<std::uint32_t>(slots_.size());
        slots_.emplace_back();
    }
    Slot& entry = slots_[index];
    entry.vector.from = datagram.from;
    entry.vector.began = datagram.at;
    entry.older = newest_;
    entry.newer = kNone;
    if (newest_ != kNone) {
        slots_[newest_].newer = index;
    } else {
        oldest_ = index;
    }
    newest_ = index;
    by_sender_.emplace(datagram.from, index);
    return index;
}

void VectorAssembly::expire(Clock::time_point now) {
    // The table is oldest first, and every vector has the same window.
    while (oldest_ != kNone && slots_[oldest_].vector.began + window_ <= now) {
        finish(oldest_);
    }
}

void VectorAssembly::give_up_all() {
    while (oldest_ != kNone) {
        finish(oldest_);
    }
}

std::optional<Clock::time_point> VectorAssembly::next_deadline() const {
    if (oldest_ == kNone) {
        return std::nullopt;
    }
    return slots_[oldest_].vector.began + window_;
}

void VectorAssembly::finish(std::uint32_t index) {
    Slot& entry = slots_[index];
    (entry.older != kNone ? slots_[entry.older].newer : oldest_) = entry.newer;
    (entry.newer != kNone ? slots_[entry.newer].older : newest_) = entry.older;
    by_sender_.erase(entry.vector.from);
    ready_.push_back(Ready{Assembled::Kind::kVector, 0, index});
}

Assembled VectorAssembly::front() const {
    const Ready& next = ready_.front();
    Assembled out;
    out.kind = next.kind;
    out.drops = next.drops;
    if (next.kind == Assembled::Kind::kVector) {
        out.vector = &slots_[next.slot].vector;
    }
    return out;
}

void VectorAssembly::pop() {
    if (ready_.front().kind == Assembled::Kind::kVector) {
        free_.push_back(ready_.front().slot);
    }
    ready_.pop_front();
}

}  // namespace wire
