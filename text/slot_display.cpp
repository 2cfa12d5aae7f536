#include "slot_display.h"

namespace text {

namespace {

constexpr unsigned kFirstC1 = 0x80;
constexpr unsigned kLastC1 = 0x9f;

bool continuation(unsigned char byte) {
    return (byte & 0xc0U) == 0x80U;
}

// The length of the well-formed UTF-8 sequence that starts text[at] (2 to
// 4), with its code point in `code`; 0 when the bytes there are not one.
// Overlong forms, surrogates and values above U+10FFFF are not well formed.
std::size_t utf8_sequence(std::string_view text, std::size_t at, unsigned& code) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    unsigned low = 0x80;  // the allowed range of the second byte
    unsigned high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        code = lead & 0x1fU;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        code = lead & 0x0fU;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        code = lead & 0x07U;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (text.size() - at < length) {
        return 0;
    }
    const auto second = static_cast<unsigned char>(text[at + 1]);
    if (second < low || second > high) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[at + i]);
        if (!continuation(byte)) {
            return 0;
        }
        code = (code << 6U) | (byte & 0x3fU);
    }
    return length;
}

void append_escaped_byte(std::string& shown, unsigned char byte) {
    static constexpr char kHex[] = "0123456789abcdef";
    shown += "\\x";
    shown += kHex[byte >> 4U];
    shown += kHex[byte & 0xfU];
}

// What escape_controls() returns, appended to `shown`.
void append_escaped(std::string& shown, std::string_view text) {
    std::size_t at = 0;
    while (at < text.size()) {
        // Plain printable ASCII, the usual case, goes in runs.
        std::size_t plain = at;
        while (plain < text.size() && static_cast<unsigned char>(text[plain]) >= 0x20 &&
               static_cast<unsigned char>(text[plain]) < 0x7f) {
            ++plain;
        }
        shown.append(text, at, plain - at);
        at = plain;
        if (at == text.size()) {
            break;
        }
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte < 0x80) {
            append_escaped_byte(shown, byte);  // a C0 control or DEL
            ++at;
            continue;
        }
        unsigned code = 0;
        const std::size_t length = utf8_sequence(text, at, code);
        if (length == 0) {
            append_escaped_byte(shown, byte);  // not part of valid UTF-8
            ++at;
            continue;
        }
        if (code >= kFirstC1 && code <= kLastC1) {
            for (std::size_t i = 0; i < length; ++i) {
                append_escaped_byte(shown, static_cast<unsigned char>(text[at + i]));
            }
        } else {
            shown.append(text, at, length);
        }
        at += length;
    }
}

}  // namespace

bool valid_utf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        if (static_cast<unsigned char>(text[at]) < 0x80) {
            ++at;
            continue;
        }
        unsigned code = 0;
        const std::size_t length = utf8_sequence(text, at, code);
        if (length == 0) {
            return false;
        }
        at += length;
    }
    return true;
}

std::string escape_controls(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    append_escaped(shown, text);
    return shown;
}

void append_printout(std::string& shown, std::string_view address, std::string_view port,
                     std::string_view keyword) {
    shown += "Packet array incoming!\n\t  IP: ";
    append_escaped(shown, address);
    shown += "\n\tPORT: ";
    append_escaped(shown, port);
    shown += "\n\t MSG: ";
    append_escaped(shown, keyword);
    shown += '\n';
}

std::string vector_printout(std::string_view address, std::string_view port,
                            std::string_view keyword) {
    std::string shown;
    append_printout(shown, address, port, keyword);
    return shown;
}

}  // namespace text
