// Events as text: the lines owed when there was no room for them add up,
// and come once there is, or at the end whatever the room.
#include "render_text.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

namespace {

// Takes everything but notices while `full`.
struct Out final : console::Text_Out {
    bool full = false;
    std::string text;
    bool put(int /*fd*/, std::string_view t, console::Kind kind) override {
        if (full && kind == console::Kind::kNotice) {
            return false;
        }
        text += t;
        return true;
    }
    void finish() override {}
    std::uint64_t not_shown() const override { return 0; }
};

TEST(TextRenderer, CountLinesOwedAddUpAndComeOnceThereIsRoom) {
    Out out;
    console::Text_Renderer renderer(out, {});
    const auto from = [](std::uint16_t port) {
        return net::Endpoint::ipv4(htonl(0x7f000001), htons(port));
    };
    const std::string dropped =
        " dropped by the system before they could be read (the receive "
        "queue was full)\n";
    out.full = true;
    renderer.dropped(3);
    renderer.refused(2, from(1));
    renderer.dropped(4);
    renderer.refused(1, from(2));
    EXPECT_EQ(out.text, "");
    out.full = false;
    renderer.dropped(1);
    EXPECT_EQ(out.text, "8 datagrams" + dropped +
                            "3 datagrams refused from hosts not allowed (last from 127.0.0.1:2)\n");
    out.text.clear();
    renderer.set_aside(2, from(5));  // told at once when there is room
    EXPECT_EQ(out.text,
              "2 datagrams set aside after a loss: too soon after it to know their "
              "place in a vector (last from 127.0.0.1:5)\n");
    out.text.clear();
    out.full = true;
    renderer.dropped(1);
    renderer.closing();  // the end tells what is owed whatever the room
    EXPECT_EQ(out.text, "1 datagram" + dropped);
}

// The IPv6 socket beside the IPv4 one is told with -v only.
TEST(TextRenderer, TheIpv6ListenSocketIsToldWhenVerbose) {
    for (const bool verbose : {false, true}) {
        Out out;
        console::Text_Renderer renderer(out, {false, verbose});
        renderer.step_begun(net::Step::kIpv6ReceiveSocket, 4555, false);
        renderer.step_done(net::Step::kIpv6ReceiveSocket);
        EXPECT_EQ(out.text,
                  verbose ? "Opening port 4555 for incoming IPv6 connections...Success!\n" : "");
    }
}

// -v: each printout ends with where and when it came from, and with the
// true length of each slot that was cut.
TEST(TextRenderer, AVerbosePrintoutTellsWhatWasCut) {
    Out out;
    console::Text_Renderer renderer(out, {false, true});
    const std::string address = "10.0.0.1";
    const std::string keyword(512, 'k');
    net::Vector_Event vector;
    vector.from = net::Endpoint::ipv4(htonl(0x7f000001), htons(4000));
    vector.filled = 3;
    vector.bytes = {reinterpret_cast<const unsigned char*>(address.data()),
                    reinterpret_cast<const unsigned char*>(address.data()),
                    reinterpret_cast<const unsigned char*>(keyword.data())};
    vector.len = {address.size(), address.size(), keyword.size()};
    vector.size = {address.size(), address.size(), 2000};
    renderer.vector(vector);
    const std::string tail = " (MSG was 2000 bytes)\n";
    ASSERT_GE(out.text.size(), tail.size());
    EXPECT_EQ(out.text.substr(out.text.size() - tail.size()), tail);
    EXPECT_NE(out.text.find("\tFROM: 127.0.0.1:4000 at "), std::string::npos);
}

}  // namespace
