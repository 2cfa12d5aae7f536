#include "screen.h"

namespace testsupport {

std::vector<std::string> screen_lines(std::string_view output) {
    std::vector<std::string> lines(1);
    std::size_t row = 0;
    std::size_t column = 0;
    for (std::size_t at = 0; at < output.size(); ++at) {
        const char c = output[at];
        std::string& line = lines[row];
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            if (++row == lines.size()) {
                lines.emplace_back();
            }
        } else if (c == '\b') {
            column -= column > 0 ? 1 : 0;
        } else if (c == '\x1b' && at + 1 < output.size() && output[at + 1] == '[') {
            // A control sequence: parameters up to its final letter.
            std::size_t end = at + 2;
            while (end < output.size() && (output[end] < '@' || output[end] > '~')) {
                ++end;
            }
            if (end < output.size() && output[end] == 'K' && column < line.size()) {
                line.erase(column);
            }
            at = end;
        } else if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') {
            if (line.size() <= column) {
                line.resize(column + 1, ' ');
            }
            line[column++] = c;
        }
    }
    for (std::string& line : lines) {
        line.erase(line.find_last_not_of(' ') + 1);
    }
    return lines;
}

}  // namespace testsupport
