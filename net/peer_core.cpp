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

Peer_Core::Peer_Core(const Answer_To& answer_to, Datagram_Sink& wire, Peer_Events& events)
    : answer_to_(answer_to), wire_(wire), events_(events) {}

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
    Vector_Event event;
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
