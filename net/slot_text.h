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

// A received text made safe for any terminal: C0 controls (0x00-0x1F), DEL,
// the C1 controls U+0080-U+009F and every byte that is not part of valid
// UTF-8 become \xNN; valid UTF-8 text is kept as it is.
std::string escape_controls(std::string_view text);

// The four lines a peer prints for a received vector, texts escaped.
std::string vector_printout(std::string_view address, std::string_view port,
                            std::string_view keyword);
// vector_printout(), appended to `shown`.
void append_printout(std::string& shown, std::string_view address, std::string_view port,
                     std::string_view keyword);

}  // namespace wire

#endif  // LANLINK_NET_SLOT_TEXT_H
