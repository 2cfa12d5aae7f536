// Reading the texts that travel in packet slots.
#ifndef LANLINK_NET_SLOT_TEXT_H
#define LANLINK_NET_SLOT_TEXT_H

#include <cstddef>
#include <string_view>

namespace wire {

// The text held in a payload of `len` bytes: it ends at the first zero byte,
// or at the end of the bytes received when there is none. Nothing past `len`
// is read.
std::string_view slot_text(const unsigned char* data, std::size_t len);

}  // namespace wire

#endif  // LANLINK_NET_SLOT_TEXT_H
