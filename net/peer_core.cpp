#include "peer_core.h"

#include <algorithm>
#include <cstring>

#include "slot_text.h"

namespace net {

namespace {

constexpr auto kAnswerPause = std::chrono::microseconds(wire::kAnswerPauseMicros);

std::string_view slot_of(const wire::AssembledVector& vector, int slot) {
    const auto i = static_cast<std::size_t>(slot);
    return wire::slot_text(vector.data.at(i).data(), vector.len.at(i));
}

bool is_update(const wire::AssembledVector& vector) {
    return vector.whole() && slot_of(vector, wire::kSlotKeyword) == wire::kKeywordUpdate;
}

void fill(std::array<char, wire::kAnswerLength>& datagram, std::string_view text) {
    datagram.fill('\0');
    std::memcpy(datagram.data(), text.data(), std::min(text.size(), datagram.size()));
}

}  // namespace

Answer_Bytes answer_to_update(std::string_view address, std::string_view port) {
    Answer_Bytes answer{};
    fill(answer.at(wire::kSlotAddress), address);
    fill(answer.at(wire::kSlotPort), port);
    fill(answer.at(wire::kSlotKeyword), wire::kKeywordAnswer);
    return answer;
}

Peer_Core::Peer_Core(const Answer_To& answer_to, Datagram_Sink& wire, Peer_Events& events,
                     Vector_Keys* keys)
    : answer_to_(answer_to), wire_(wire), events_(events), keys_(keys) {
    counters_.keyed = keys != nullptr;
}

bool Peer_Core::admitted(const wire::AssembledVector& vector) {
    if (keys_ == nullptr) {
        return true;
    }
    const Vector_Keys::Verdict verdict = keys_->admit(vector, now_us());
    switch (verdict) {
        case Vector_Keys::Verdict::kTaken:
            return true;
        case Vector_Keys::Verdict::kNotAuthenticated:
            ++counters_.vectors_not_authenticated;
            refused_.at(static_cast<std::size_t>(Refusal::kNotAuthenticated)).add(vector.from);
            break;
        case Vector_Keys::Verdict::kReplayed:
            ++counters_.vectors_replayed;
            refused_.at(static_cast<std::size_t>(Refusal::kReplayed)).add(vector.from);
            break;
        case Vector_Keys::Verdict::kStale:
            ++counters_.vectors_stale;
            refused_.at(static_cast<std::size_t>(Refusal::kStale)).add(vector.from);
            break;
    }
    return false;
}

void Peer_Core::tell_counts(Clock::time_point now, bool at_end) {
    for (std::size_t why = 0; why < refused_.size(); ++why) {
        Told_Count& count = refused_.at(why);
        if (count.due(now, at_end)) {
            const Endpoint last = count.last_from();
            events_.vectors_refused(static_cast<Refusal>(why), count.take(now), last,
                                    keys_ != nullptr ? keys_->max_skew_s() : 0);
        }
    }
}

std::optional<Peer_Core::Clock::time_point> Peer_Core::next_count_line() const {
    std::optional<Clock::time_point> next;
    for (const Told_Count& count : refused_) {
        if (const auto when = count.next_line()) {
            next = next ? std::min(*next, *when) : *when;
        }
    }
    return next;
}

std::optional<Peer_Core::Clock::time_point> Peer_Core::next_due(
    const wire::VectorAssembly& ready) const {
    if (!ready.has_ready()) {
        return std::nullopt;
    }
    const wire::Assembled next = ready.front();
    if (next.kind == wire::Assembled::Kind::kVector && is_update(*next.vector)) {
        return next.vector->ended + kAnswerPause;
    }
    return Clock::time_point{};  // long past: at once
}

Peer_Core::Handled Peer_Core::handle(wire::VectorAssembly& ready, Clock::time_point now) {
    while (ready.has_ready()) {
        const wire::Assembled next = ready.front();
        if (next.kind == wire::Assembled::Kind::kDrops) {
            counters_.datagrams_dropped += next.drops;
            ready.pop();
            events_.dropped(next.drops);
            continue;
        }
        if (*next_due(ready) > now) {
            return Handled::kGoOn;
        }
        const Handled handled = handle_vector(*next.vector);
        ready.pop();
        if (handled == Handled::kPeerQuit) {
            return handled;
        }
    }
    return Handled::kGoOn;
}

Peer_Core::Handled Peer_Core::handle_vector(const wire::AssembledVector& vector) {
    // With a key, a vector it does not take is neither shown, nor obeyed,
    // nor answered: only counted.
    if (!admitted(vector)) {
        return Handled::kGoOn;
    }
    Vector_Event event;
    event.authenticated = keys_ != nullptr;
    event.from = vector.from;
    event.filled = vector.filled;
    for (std::size_t i = 0; i < event.bytes.size(); ++i) {
        // Slots the sender did not fill read as empty texts.
        event.bytes.at(i) = vector.data.at(i).data();
        event.len.at(i) = static_cast<int>(i) < vector.filled ? vector.len.at(i) : 0;
        event.size.at(i) = static_cast<int>(i) < vector.filled ? vector.size.at(i) : 0;
    }
    event.arrived = vector.ended_real;
    ++counters_.vectors_received;
    if (!vector.whole()) {
        ++counters_.incomplete_vectors;
    }
    // A keyword is obeyed only from a vector whose three datagrams arrived.
    const std::string_view keyword = event.text(wire::kSlotKeyword);
    event.quit = vector.whole() && keyword == wire::kKeywordQuit;
    event.update = vector.whole() && keyword == wire::kKeywordUpdate;
    if (event.update) {
        // The answer goes first; the vector is told once it has gone.
        const Answer_Bytes answer =
            answer_to_update(event.text(wire::kSlotAddress), event.text(wire::kSlotPort));
        event.answered_to = answer_endpoint(answer_to_, vector.from);
        Vector_Bytes datagrams;
        for (std::size_t i = 0; i < datagrams.size(); ++i) {
            datagrams.at(i) = std::string_view(answer.at(i).data(), answer.at(i).size());
        }
        // With a key, the third datagram carries the trailer after its 9 bytes.
        std::string third;
        if (keys_ != nullptr) {
            const Trailer_Bytes trailer = keys_->seal(datagrams, now_us());
            third.assign(datagrams.at(2));
            third.append(reinterpret_cast<const char*>(trailer.data()), trailer.size());
            datagrams.at(2) = third;
        }
        event.answer_sent = wire_.send_vector(event.answered_to, datagrams);
        if (event.answer_sent) {
            ++counters_.updates_answered;
        }
    }
    events_.vector(event);
    return event.quit ? Handled::kPeerQuit : Handled::kGoOn;
}

std::string_view Vector_Event::text(int i) const {
    const auto slot = static_cast<std::size_t>(i);
    return wire::slot_text(bytes.at(slot), len.at(slot));
}

}  // namespace net
