#include "line_reader.h"

#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace console {

namespace {

constexpr std::size_t kLongestLine = std::size_t{64} * 1024;

}  // namespace

bool Line_Reader::fill() {
    char chunk[4096];
    ssize_t got = 0;
    while ((got = read(STDIN_FILENO, chunk, sizeof chunk)) < 0 && errno == EINTR) {
    }
    if (got < 0 && errno == EAGAIN) {
        return true;
    }
    if (got <= 0) {
        return false;
    }
    for (const char c : std::string_view(chunk, static_cast<std::size_t>(got))) {
        if (c == '\n') {
            buffer_ += c;
            unfinished_ = 0;
        } else if (unfinished_ < kLongestLine) {
            buffer_ += c;
            ++unfinished_;
        }
    }
    return true;
}

bool Line_Reader::next(std::string& line) {
    const std::size_t end = buffer_.find('\n');
    if (end == std::string::npos) {
        return false;
    }
    line.assign(buffer_, 0, end);
    buffer_.erase(0, end + 1);
    return true;
}

bool Line_Reader::rest(std::string& line) {
    if (buffer_.empty()) {
        return false;
    }
    line = std::move(buffer_);
    buffer_.clear();
    return true;
}

}  // namespace console
