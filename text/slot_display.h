// How received texts are shown: made safe for any terminal, and the four
// lines of a vector's printout. Shared by lanlink and lanlink-send.
#ifndef LANLINK_TEXT_SLOT_DISPLAY_H
#define LANLINK_TEXT_SLOT_DISPLAY_H

#include <string>
#include <string_view>

namespace text {

// A received text made safe for any terminal: C0 controls (0x00-0x1F), DEL,
// the C1 controls U+0080-U+009F and every byte that is not part of valid
// UTF-8 become \xNN; valid UTF-8 text is kept as it is.
std::string escape_controls(std::string_view text);

// Whether `text` is valid UTF-8 throughout (overlong forms, surrogates and
// values above U+10FFFF are not).
bool valid_utf8(std::string_view text);

// The four lines a peer prints for a received vector, texts escaped.
std::string vector_printout(std::string_view address, std::string_view port,
                            std::string_view keyword);
// vector_printout(), appended to `shown`.
void append_printout(std::string& shown, std::string_view address, std::string_view port,
                     std::string_view keyword);

}  // namespace text

#endif  // LANLINK_TEXT_SLOT_DISPLAY_H
