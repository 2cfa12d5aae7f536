#include "slot_text.h"

#include <gtest/gtest.h>

namespace {

TEST(SlotText, EndsAtTheFirstZeroOrAtTheBytesReceived) {
    const unsigned char bytes[] = {'a', 'b', 0, 'c', 'd'};
    EXPECT_EQ(wire::slot_text(bytes, 5), "ab");
    EXPECT_EQ(wire::slot_text(bytes, 1), "a");
    EXPECT_EQ(wire::slot_text(bytes + 3, 2), "cd");
    EXPECT_EQ(wire::slot_text(bytes, 0), "");
    EXPECT_EQ(wire::slot_text(nullptr, 5), "");
}

TEST(SlotText, EscapesWhatATerminalWouldObeyAndKeepsValidUtf8) {
    EXPECT_EQ(wire::escape_controls(std::string("\x01\x1f \x7f~", 5)), "\\x01\\x1f \\x7f~");
    EXPECT_EQ(wire::escape_controls(std::string("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(wire::escape_controls("plain 10.0.0.2"), "plain 10.0.0.2");
    // é, 日本 and an emoji are text; U+00A0 is the first character after the C1 range.
    EXPECT_EQ(wire::escape_controls("\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 \xc2\xa0"),
              "\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 \xc2\xa0");
    // C1 controls, as UTF-8 and as the single 8-bit escape introducer 0x9b.
    EXPECT_EQ(wire::escape_controls("\xc2\x80[\xc2\x9b"
                                    "2J\x9b"
                                    "2J"),
              "\\xc2\\x80[\\xc2\\x9b2J\\x9b2J");
    // Stray continuation, overlong, surrogate, above U+10FFFF, truncated, never valid;
    // the overlong three-byte form of 0x9b would otherwise reach the terminal as CSI.
    EXPECT_EQ(wire::escape_controls("\x80\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xff\xe6\x97"),
              "\\x80\\xc0\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80\\xff\\xe6\\x97");
    EXPECT_EQ(wire::escape_controls("\xe0\x80\x9b"
                                    "2J"),
              "\\xe0\\x80\\x9b2J");
}

}  // namespace
