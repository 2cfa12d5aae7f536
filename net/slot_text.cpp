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

}  // namespace wire
