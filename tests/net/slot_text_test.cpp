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

}  // namespace
