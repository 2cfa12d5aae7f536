// How received texts are shown: what a terminal would obey is escaped,
// valid UTF-8 is kept.
#include "slot_display.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SlotDisplay, EscapesWhatATerminalWouldObeyAndKeepsValidUtf8) {
    EXPECT_EQ(text::escape_controls(std::string("\x01\x1f \x7f~", 5)), "\\x01\\x1f \\x7f~");
    EXPECT_EQ(text::escape_controls(std::string("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(text::escape_controls("plain 10.0.0.2"), "plain 10.0.0.2");
    // é, 日本 and an emoji are text; U+00A0 is the first character after the C1 range.
    EXPECT_EQ(text::escape_controls("\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 \xc2\xa0"),
              "\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 \xc2\xa0");
    // C1 controls, as UTF-8 and as the single 8-bit escape introducer 0x9b.
    EXPECT_EQ(text::escape_controls("\xc2\x80[\xc2\x9b"
                                    "2J\x9b"
                                    "2J"),
              "\\xc2\\x80[\\xc2\\x9b2J\\x9b2J");
    // Stray continuation, overlong, surrogate, above U+10FFFF, truncated, never valid;
    // the overlong three-byte form of 0x9b would otherwise reach the terminal as CSI.
    EXPECT_EQ(text::escape_controls("\x80\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xff\xe6\x97"),
              "\\x80\\xc0\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80\\xff\\xe6\\x97");
    EXPECT_EQ(text::escape_controls("\xe0\x80\x9b"
                                    "2J"),
              "\\xe0\\x80\\x9b2J");
}

// What may go into a JSON string as it is, and what must be encoded.
TEST(SlotDisplay, TellsValidUtf8FromAnythingElse) {
    for (const char* valid :
         {"", "plain", "\xc3\xa9", "\xf0\x9f\x98\x80", "\xc2\x80", "\xf4\x8f\xbf\xbf"}) {
        EXPECT_TRUE(text::valid_utf8(valid)) << valid;
    }
    EXPECT_TRUE(text::valid_utf8(std::string("a\0b", 3)));
    for (const char* invalid : {"\x80", "a\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xff",
                                "\xe6\x97", "caf\xe9", "\xe0\x80\x9b"}) {
        EXPECT_FALSE(text::valid_utf8(invalid)) << invalid;
    }
}

}  // namespace
