// The few ways the text renderer puts numbers into its lines, shared by
// its files.
#ifndef LANLINK_CONSOLE_RENDER_TEXT_WORDS_H
#define LANLINK_CONSOLE_RENDER_TEXT_WORDS_H

#include <charconv>
#include <cstdint>
#include <iterator>
#include <string>

namespace console::text_words {

// A number, in decimal, appended to `to`.
inline void append_number(std::string& to, long long value) {
    char digits[24];
    const auto done = std::to_chars(std::begin(digits), std::end(digits), value);
    to.append(digits, done.ptr);
}

inline std::string number(long long value) {
    std::string text;
    append_number(text, value);
    return text;
}

// "N datagram" or "N datagrams".
inline std::string counted(std::uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + (count == 1 ? one : many);
}

}  // namespace console::text_words

#endif
