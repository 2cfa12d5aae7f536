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

TEST(SlotText, EscapesControlBytesOnly) {
    EXPECT_EQ(wire::escape_controls(std::string("\x01\x1f \x7f~\x80\xff", 7)),
              "\\x01\\x1f \\x7f~\x80\xff");
    EXPECT_EQ(wire::escape_controls(std::string("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(wire::escape_controls("plain 10.0.0.2"), "plain 10.0.0.2");
}

}  // namespace
