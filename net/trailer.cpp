#include "trailer.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

namespace net {

namespace {

void put_u64(unsigned char* at, std::uint64_t value) {
    for (int i = 7; i >= 0; --i) {
        at[i] = static_cast<unsigned char>(value & 0xffU);
        value >>= 8U;
    }
}

std::uint64_t get_u64(const unsigned char* at) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value = (value << 8U) | at[i];
    }
    return value;
}

// The tag over the trailer's first bytes and the texts, each with its
// length.
std::array<unsigned char, wire::kTagBytes> tag_of(const Shared_Key& key, const unsigned char* head,
                                                  const Vector_Bytes& texts) {
    crypto_auth_hmacsha512256_state state = key.tag_start();
    crypto_auth_hmacsha512256_update(&state, head, wire::kTagAt);
    for (const std::string_view text : texts) {
        const std::string_view tagged = tagged_text(text);
        const std::size_t length = std::min<std::size_t>(tagged.size(), 0xffffU);
        const unsigned char size[2] = {static_cast<unsigned char>(length >> 8U),
                                       static_cast<unsigned char>(length & 0xffU)};
        crypto_auth_hmacsha512256_update(&state, size, sizeof size);
        crypto_auth_hmacsha512256_update(
            &state, reinterpret_cast<const unsigned char*>(tagged.data()), length);
    }
    std::array<unsigned char, wire::kTagBytes> tag{};
    crypto_auth_hmacsha512256_final(&state, tag.data());
    sodium_memzero(&state, sizeof state);
    return tag;
}

}  // namespace

std::string_view tagged_text(std::string_view datagram) {
    return datagram.substr(0, datagram.find('\0'));
}

Trailer_Bytes seal(const Shared_Key& key, const Trailer& trailer, const Vector_Bytes& texts) {
    Trailer_Bytes bytes{};
    std::memcpy(bytes.data(), wire::kTrailerMagic, sizeof wire::kTrailerMagic);
    put_u64(&bytes[wire::kSenderIdAt], trailer.sender);
    put_u64(&bytes[wire::kCounterAt], trailer.counter);
    put_u64(&bytes[wire::kSendTimeAt], trailer.sent_us);
    const auto tag = tag_of(key, bytes.data(), texts);
    std::memcpy(&bytes[wire::kTagAt], tag.data(), tag.size());
    return bytes;
}

std::optional<Trailer> open(const Shared_Key& key, std::string_view first, std::string_view second,
                            std::string_view third) {
    if (third.size() < wire::kTrailerBytes) {
        return std::nullopt;
    }
    const auto* trailer =
        reinterpret_cast<const unsigned char*>(third.data() + third.size() - wire::kTrailerBytes);
    if (std::memcmp(trailer, wire::kTrailerMagic, sizeof wire::kTrailerMagic) != 0) {
        return std::nullopt;
    }
    const Vector_Bytes texts = {first, second, third.substr(0, third.size() - wire::kTrailerBytes)};
    const auto expected = tag_of(key, trailer, texts);
    if (crypto_verify_32(&trailer[wire::kTagAt], expected.data()) != 0) {
        return std::nullopt;
    }
    return Trailer{get_u64(&trailer[wire::kSenderIdAt]), get_u64(&trailer[wire::kCounterAt]),
                   get_u64(&trailer[wire::kSendTimeAt])};
}

Replay_Window::Verdict Replay_Window::check(const Trailer& trailer, std::uint64_t now_us,
                                            std::uint64_t max_skew_us) {
    const std::uint64_t off =
        trailer.sent_us > now_us ? trailer.sent_us - now_us : now_us - trailer.sent_us;
    if (off > max_skew_us) {
        return Verdict::kStale;
    }
    const auto bit = [](std::uint64_t counter) {
        return std::pair<std::size_t, std::uint64_t>{(counter / 64) % kWords,
                                                     std::uint64_t{1} << (counter % 64)};
    };
    auto found = by_sender_.find(trailer.sender);
    if (found == by_sender_.end()) {
        if (by_sender_.size() == wire::kMostKeyedSenders) {
            by_sender_.erase(order_.back());
            order_.pop_back();
        }
        order_.push_front(trailer.sender);
        Seen fresh;
        fresh.top = trailer.counter;
        fresh.in_order = order_.begin();
        const auto [word, mask] = bit(trailer.counter);
        fresh.bits.at(word) |= mask;
        by_sender_.emplace(trailer.sender, fresh);
        return Verdict::kTaken;
    }
    Seen& seen = found->second;
    if (trailer.counter > seen.top) {
        // The window moves on: the words it leaves behind are cleared.
        const std::uint64_t from_word = seen.top / 64 + 1;
        const std::uint64_t to_word = trailer.counter / 64;
        if (to_word - from_word + 1 >= kWords) {
            seen.bits.fill(0);
        } else {
            for (std::uint64_t w = from_word; w <= to_word; ++w) {
                seen.bits.at(w % kWords) = 0;
            }
        }
        seen.top = trailer.counter;
    } else if (seen.top - trailer.counter >= wire::kReplayWindow ||
               (seen.bits.at(bit(trailer.counter).first) & bit(trailer.counter).second) != 0) {
        return Verdict::kReplayed;  // older than the window, or seen
    }
    const auto [word, mask] = bit(trailer.counter);
    seen.bits.at(word) |= mask;
    order_.splice(order_.begin(), order_, seen.in_order);
    return Verdict::kTaken;
}

}  // namespace net
