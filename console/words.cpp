#include "words.h"

#include <cctype>

namespace console {

namespace {

bool blank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

Words::Words(std::string_view line) : line_(line.substr(0, line.find('\0'))) {
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && blank(line[at])) {
            ++at;
        }
        if (at == line.size()) {
            break;
        }
        const std::size_t start = at;
        while (at < line.size() && !blank(line[at])) {
            ++at;
        }
        const std::string_view word = line.substr(start, at - start);
        words_.emplace_back(word.substr(0, word.find('\0')));
        ends_.push_back(std::min(at, line_.size()));
    }
}

std::string Words::rest(std::size_t skip) const {
    std::size_t at = skip == 0 ? 0 : skip <= ends_.size() ? ends_[skip - 1] : line_.size();
    while (at < line_.size() && blank(line_[at])) {
        ++at;
    }
    std::size_t end = line_.size();
    while (end > at && blank(line_[end - 1])) {
        --end;
    }
    return line_.substr(at, end - at);
}

}  // namespace console
