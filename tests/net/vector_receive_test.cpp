// Completing a packet vector from what the socket holds.
#include "vector_receive.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "udp.h"

namespace {

using testsupport::LoopbackUdp;
using testsupport::z;

// Datagrams that are already waiting are taken even when the time to wait
// for them is up: this process may itself have been held up while they came.
TEST(VectorReceive, TakesWhatIsWaitingEvenPastItsDeadline) {
    ASSERT_EQ(SDLNet_Init(), 0);
    UDPsocket sock = SDLNet_UDP_Open(0);
    ASSERT_NE(sock, nullptr);
    SDLNet_SocketSet set = SDLNet_AllocSocketSet(1);
    SDLNet_UDP_AddSocket(set, sock);
    UDPpacket** packets = SDLNet_AllocPacketV(3, 512);
    const auto port =
        static_cast<std::uint16_t>(SDL_SwapBE16(SDLNet_UDP_GetPeerAddress(sock, -1)->port));

    const LoopbackUdp peer;
    peer.send_vector(port, z("a"), z("b"), z("c"));  // queued by the time it returns
    const auto past = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    EXPECT_EQ(wire::receive_rest(sock, set, packets, 0, past), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(packets[2]->data)), "c");
    peer.send(port, z("d"));
    EXPECT_EQ(wire::receive_rest(sock, set, packets, 2, past), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(packets[2]->data)), "d");
    // Nothing waiting: a deadline in the past returns at once.
    EXPECT_EQ(wire::receive_rest(sock, set, packets, 1, past), 1);

    SDLNet_FreePacketV(packets);
    SDLNet_FreeSocketSet(set);
    SDLNet_UDP_Close(sock);
    SDLNet_Quit();
}

}  // namespace
