#include "command_line.h"

#include <getopt.h>

#include <climits>
#include <cstdlib>

namespace cli {

std::optional<int> whole_number(std::string_view text) {
    std::size_t at = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        at = 1;
    }
    if (at == text.size()) {
        return std::nullopt;
    }
    long long value = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        // Held just beyond int's range: the rest of the digits change nothing.
        if (value <= INT_MAX) {
            value = value * 10 + (c - '0');
        }
    }
    value = negative ? -value : value;
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

bool whole_number(std::string_view text, int low, int high, int& value, bool signed_ok) {
    if (!signed_ok && !text.empty() && (text[0] == '-' || text[0] == '+')) {
        return false;
    }
    const std::optional<int> read = whole_number(text);
    if (!read || *read < low || *read > high) {
        return false;
    }
    value = *read;
    return true;
}

int leading_number(const char* text) {
    const long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

std::string written_option(char** argv, int letter) {
    int at = optind - 1;
    if (optarg != nullptr && at > 0 && optarg == argv[at]) {
        --at;  // the value was a word of its own
    }
    const std::string written = at > 0 ? argv[at] : "";
    if (written.rfind("--", 0) == 0) {
        return written.substr(0, written.find('='));
    }
    return std::string("-") + static_cast<char>(letter);
}

}  // namespace cli
