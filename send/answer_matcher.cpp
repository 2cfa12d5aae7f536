#include "answer_matcher.h"

#include "wire_format.h"

void Answer_Matcher::expect(int request, std::string_view address, std::string_view port) {
    address_ = echoed(address);
    waiting_[echoed(port)] = request;
}

void Answer_Matcher::forget(int request) {
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
        if (it->second == request) {
            waiting_.erase(it);
            return;
        }
    }
}

std::optional<int> Answer_Matcher::take(std::string_view datagram) {
    recent_.emplace_back(datagram);
    if (recent_.size() > static_cast<std::size_t>(wire::kPacketsPerVector)) {
        recent_.pop_front();
    }
    // Each of an answer's datagrams begins with its nine bytes.
    const auto nine = [](const std::string& got, const std::string& expected) {
        return got.size() >= expected.size() && got.compare(0, expected.size(), expected) == 0;
    };
    if (recent_.size() < static_cast<std::size_t>(wire::kPacketsPerVector) ||
        !nine(recent_[wire::kSlotAddress], address_) ||
        !nine(recent_[wire::kSlotKeyword], echoed(wire::kKeywordAnswer))) {
        return std::nullopt;
    }
    const auto found = waiting_.find(recent_[wire::kSlotPort].substr(0, wire::kAnswerLength));
    if (found == waiting_.end()) {
        return std::nullopt;
    }
    const int request = found->second;
    waiting_.erase(found);
    for (std::size_t i = 0; i < answer_.size(); ++i) {
        answer_.at(i) = recent_.at(i);
    }
    recent_.clear();
    return request;
}

std::string Answer_Matcher::echoed(std::string_view text) {
    std::string bytes(text.substr(0, wire::kAnswerLength));
    bytes.resize(wire::kAnswerLength, '\0');
    return bytes;
}
