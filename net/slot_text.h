// Reading and showing the texts that travel in packet slots.
#ifndef LANLINK_NET_SLOT_TEXT_H
#define LANLINK_NET_SLOT_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>

namespace wire {

// The text held in a payload of `len` bytes: it ends at the first zero byte,
// or at the end of the bytes received when there is none. Nothing past `len`
// is read.
std::string_view slot_text(const unsigned char* data, std::size_t len);

// A received text made safe for a terminal: control bytes (0x00-0x1F and
// 0x7F) become \xNN, every other byte is kept as it is.
std::string escape_controls(std::string_view text);

// The four lines a peer prints for a received vector, texts escaped.
std::string vector_printout(std::string_view address, std::string_view port,
                            std::string_view keyword);

}  // namespace wire

#endif  // LANLINK_NET_SLOT_TEXT_H
