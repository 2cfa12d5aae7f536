#include "slot_text.h"

#include <cstring>

namespace wire {

std::string_view slot_text(const unsigned char* data, std::size_t len) {
    if (data == nullptr) {
        return {};
    }
    const auto* chars = reinterpret_cast<const char*>(data);
    return {chars, strnlen(chars, len)};
}

std::string escape_controls(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            shown += "\\x";
            shown += kHex[byte >> 4];
            shown += kHex[byte & 0xf];
        } else {
            shown += c;
        }
    }
    return shown;
}

std::string vector_printout(std::string_view address, std::string_view port,
                            std::string_view keyword) {
    return "Packet array incoming!\n\t  IP: " + escape_controls(address) +
           "\n\tPORT: " + escape_controls(port) + "\n\t MSG: " + escape_controls(keyword) + "\n";
}

}  // namespace wire
