#include "vector_keys.h"

#include <sodium.h>
#include <time.h>

namespace net {

std::uint64_t now_us() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000U +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000U;
}

Vector_Keys::Vector_Keys(std::shared_ptr<const Shared_Key> key, int max_skew_s)
    : key_(std::move(key)), max_skew_s_(max_skew_s) {
    randombytes_buf(&sender_, sizeof sender_);
}

Vector_Keys::Verdict Vector_Keys::admit(const wire::AssembledVector& vector, std::uint64_t now) {
    if (!vector.whole()) {
        return Verdict::kNotAuthenticated;  // no third datagram, no trailer
    }
    const auto slot = [&vector](std::size_t i) {
        return std::string_view(reinterpret_cast<const char*>(vector.data.at(i).data()),
                                vector.len.at(i));
    };
    const auto trailer = open(*key_, slot(0), slot(1), slot(2));
    if (!trailer) {
        return Verdict::kNotAuthenticated;
    }
    switch (seen_.check(*trailer, now, static_cast<std::uint64_t>(max_skew_s_) * 1000000U)) {
        case Replay_Window::Verdict::kTaken:
            return Verdict::kTaken;
        case Replay_Window::Verdict::kStale:
            return Verdict::kStale;
        case Replay_Window::Verdict::kReplayed:
            break;
    }
    return Verdict::kReplayed;
}

Trailer_Bytes Vector_Keys::seal(const Vector_Bytes& texts, std::uint64_t now) {
    return net::seal(*key_, Trailer{sender_, counter_++, now}, texts);
}

}  // namespace net
