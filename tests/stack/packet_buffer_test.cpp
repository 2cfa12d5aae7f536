#include "packet_buffer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "capture.h"

namespace {

using testsupport::Capture;

// Distinct packet addresses to push; the stack never looks inside them.
std::array<UDPpacket, 11> packets{};

UDPpacket* packet(int i) {
    return &packets.at(static_cast<std::size_t>(i));
}

TEST(PacketBuffer, HoldsOnePointer) {
    Packet_Buffer stack;
    EXPECT_TRUE(stack.isEmpty());
    UDPpacket* p = packet(0);
    stack.push(&p);
    EXPECT_FALSE(stack.isEmpty());
    EXPECT_EQ(stack.handle_oldest(), packet(0));
    EXPECT_FALSE(stack.isEmpty());
    EXPECT_EQ(stack.pop(), packet(0));
    EXPECT_TRUE(stack.isEmpty());
}

TEST(PacketBuffer, TenFitTheEleventhIsRefusedWithALine) {
    Packet_Buffer stack;
    Capture out(1);
    for (int i = 0; i < 10; ++i) {
        UDPpacket* p = packet(i);
        stack.push(&p);
    }
    EXPECT_EQ(out.text(), "");
    UDPpacket* extra = packet(10);
    stack.push(&extra);
    EXPECT_EQ(out.text(), "\nERROR Writing to stack! Stack full!\n");
    EXPECT_EQ(extra, packet(10));
    EXPECT_EQ(stack.handle_oldest(), packet(0));
    for (int i = 9; i >= 0; --i) {
        EXPECT_EQ(stack.pop(), packet(i));
    }
    EXPECT_TRUE(stack.isEmpty());
}

TEST(PacketBuffer, HoldsRepeatsAndNullPointers) {
    Packet_Buffer stack;
    UDPpacket* p = packet(3);
    UDPpacket* none = nullptr;
    stack.push(&p);
    stack.push(&none);
    stack.push(&p);
    EXPECT_EQ(stack.handle_oldest(), packet(3));
    EXPECT_EQ(stack.pop(), packet(3));
    EXPECT_EQ(stack.pop(), nullptr);
    EXPECT_FALSE(stack.isEmpty());
    EXPECT_EQ(stack.pop(), packet(3));
    EXPECT_TRUE(stack.isEmpty());
}

TEST(PacketBuffer, AnEmptyStackGivesNullAndStaysUsable) {
    Packet_Buffer stack;
    EXPECT_EQ(stack.pop(), nullptr);
    EXPECT_EQ(stack.handle_oldest(), nullptr);
    EXPECT_EQ(stack.pop(), nullptr);
    EXPECT_TRUE(stack.isEmpty());
    // Still exactly ten places after popping an empty stack.
    Capture out(1);
    for (int i = 0; i < 10; ++i) {
        UDPpacket* p = packet(i);
        stack.push(&p);
    }
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(stack.pop(), packet(9));
}

TEST(PacketBuffer, DestroyingTheStackLeavesRealPacketsAlone) {
    UDPpacket** vector = SDLNet_AllocPacketV(3, 512);
    ASSERT_NE(vector, nullptr);
    std::memcpy(vector[0]->data, "kept", 5);
    {
        Packet_Buffer stack;
        stack.push(vector);
        stack.push(&vector[1]);
        stack.push(&vector[2]);
        EXPECT_EQ(stack.handle_oldest(), vector[0]);
    }
    // Under the sanitizer build a free of these packets would be reported here.
    EXPECT_STREQ(reinterpret_cast<const char*>(vector[0]->data), "kept");
    SDLNet_FreePacketV(vector);
}

}  // namespace
