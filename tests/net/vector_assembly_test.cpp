// Putting vectors together per sender, driven with arrival times and drop
// counts of the test's own.
#include "vector_assembly.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using wire::Clock;

const Clock::time_point t0{std::chrono::seconds(1000)};
constexpr auto kWindow = milliseconds(50);

// What came out, one line each: "port:text|text|text" for a vector (a
// trailing '+' when whole) or "drops N".
std::vector<std::string> take_ready(wire::VectorAssembly& assembly) {
    std::vector<std::string> out;
    while (assembly.has_ready()) {
        const wire::Assembled next = assembly.front();
        if (next.kind == wire::Assembled::Kind::kDrops) {
            out.push_back("drops " + std::to_string(next.drops));
        } else {
            const wire::AssembledVector& v = *next.vector;
            std::string line = std::to_string(v.from.port()) + ":";
            for (int i = 0; i < v.filled; ++i) {
                const auto slot = static_cast<std::size_t>(i);
                line += (i > 0 ? "|" : "") +
                        std::string(reinterpret_cast<const char*>(v.data.at(slot).data()),
                                    v.len.at(slot));
            }
            out.push_back(line + (v.whole() ? "+" : ""));
        }
        assembly.pop();
    }
    return out;
}

struct Feeder {
    wire::VectorAssembly& assembly;
    std::uint32_t drops = 0;

    bool add(std::uint16_t port, const std::string& text, Clock::time_point at,
             std::uint32_t host = 0x0100007f) {
        wire::Arrival a;
        a.from = net::Endpoint::ipv4(host, htons(port));
        a.bytes = reinterpret_cast<const unsigned char*>(text.data());
        a.len = text.size();
        a.drops = drops;
        a.at = at;
        return assembly.add(a);
    }
};

using Lines = std::vector<std::string>;

TEST(VectorAssembly, SendersInterleavingKeepTheirOwnVectorsInCompletionOrder) {
    wire::VectorAssembly assembly(kWindow, 1024);
    Feeder feed{assembly};
    feed.add(1, "a1", t0);
    feed.add(2, "b1", t0 + milliseconds(1));
    feed.add(2, "b2", t0 + milliseconds(2));
    // Same port, another host: another sender.
    feed.add(1, "c1", t0 + milliseconds(3), 0x0200007f);
    feed.add(1, "a2", t0 + milliseconds(4));
    feed.add(2, "b3", t0 + milliseconds(5));
    feed.add(1, "a3", t0 + milliseconds(6));
    EXPECT_EQ(assembly.waiting_senders(), 1U);
    EXPECT_EQ(assembly.next_deadline(), t0 + milliseconds(3) + kWindow);
    ASSERT_EQ(assembly.ready_count(), 2U);
    EXPECT_EQ(assembly.front().vector->began, t0 + milliseconds(1));
    EXPECT_EQ(assembly.front().vector->ended, t0 + milliseconds(5));  // whole from then on
    EXPECT_EQ(take_ready(assembly), (Lines{"2:b1|b2|b3+", "1:a1|a2|a3+"}));
    // A payload longer than a packet is cut to it; an empty one is a slot.
    feed.add(9, std::string(600, 'w'), t0 + milliseconds(7));
    feed.add(9, "", t0 + milliseconds(8));
    feed.add(9, "x", t0 + milliseconds(9));
    EXPECT_EQ(take_ready(assembly), (Lines{"9:" + std::string(512, 'w') + "||x+"}));
}

// A datagram later than the window after its vector's first starts the
// next vector: a stray shifts its sender only until a pause longer than that.
TEST(VectorAssembly, TheWindowEndsAVectorAndAPauseRealignsTheSender) {
    wire::VectorAssembly assembly(kWindow, 1024);
    Feeder feed{assembly};
    feed.add(5, "a", t0);
    feed.add(5, "b", t0 + kWindow);  // still within
    feed.add(5, "c", t0 + kWindow + nanoseconds(1));
    EXPECT_EQ(take_ready(assembly), (Lines{"5:a|b"}));
    EXPECT_EQ(assembly.next_deadline(), t0 + kWindow + nanoseconds(1) + kWindow);

    wire::VectorAssembly other(kWindow, 1024);
    Feeder send{other};
    auto t = t0;
    send.add(5, "stray", t);
    for (int v = 0; v < 2; ++v) {  // two vectors right after it: shifted
        for (const char* text : {"A", "P", "K"}) {
            t += milliseconds(2);
            send.add(5, text, t);
        }
    }
    t += kWindow + milliseconds(1);  // a pause longer than the window
    for (const char* text : {"A", "P", "K"}) {
        send.add(5, text, t);
    }
    EXPECT_EQ(take_ready(other), (Lines{"5:stray|A|P+", "5:K|A|P+", "5:K", "5:A|P|K+"}));
}

// After a drop, a sender's datagrams are set aside until one comes more than
// a window after both the loss and the sender's own last datagram.
TEST(VectorAssembly, ADropGivesUpEveryIncompleteVectorAndSetsAsideWhatCameTooSoonAfter) {
    wire::VectorAssembly assembly(kWindow, 1024, 7);
    Feeder feed{assembly, 7};
    feed.add(1, "a1", t0);
    feed.add(2, "b1", t0 + milliseconds(1));
    feed.add(1, "a2", t0 + milliseconds(2));
    feed.drops = 12;
    const auto loss = t0 + milliseconds(3);
    EXPECT_FALSE(feed.add(1, "a3", loss));  // it tells of the loss
    EXPECT_FALSE(feed.add(1, "x1", loss + kWindow));
    EXPECT_TRUE(feed.add(3, "y1", loss + kWindow + nanoseconds(1)));   // a window past the loss
    EXPECT_FALSE(feed.add(1, "x2", loss + kWindow + nanoseconds(1)));  // not past its own last
    const auto pause = loss + 2 * kWindow + nanoseconds(2);
    EXPECT_TRUE(feed.add(1, "p", pause));
    feed.add(1, "q", pause);
    feed.add(1, "r", pause);
    EXPECT_EQ(take_ready(assembly), (Lines{"1:a1|a2", "2:b1", "drops 5", "1:p|q|r+"}));
    EXPECT_EQ(assembly.drops_seen(), 12U);
    // The kernel's count wraps at 2^32; a loss learned between datagrams
    // counts from when it was learned.
    feed.drops = 0xfffffffeU;
    const auto wrap = pause + milliseconds(1);
    EXPECT_FALSE(feed.add(1, "z", wrap));
    assembly.note_drops(0, 3, wrap + kWindow);
    feed.drops = 3;
    EXPECT_FALSE(feed.add(4, "w", wrap + 2 * kWindow));
    EXPECT_TRUE(feed.add(5, "v", wrap + 2 * kWindow + nanoseconds(1)));
    EXPECT_EQ(take_ready(assembly),
              (Lines{"3:y1", "drops " + std::to_string(0xfffffffeU - 12U), "drops 5"}));
    EXPECT_EQ(assembly.waiting_senders(), 1U);

    // More senders set aside than the table holds: none is placed until a
    // window after the last of them.
    wire::VectorAssembly small(kWindow, 2);
    Feeder few{small};
    few.drops = 1;
    for (std::uint16_t port = 1; port <= 3; ++port) {
        EXPECT_FALSE(few.add(port, "s", t0 + milliseconds(port)));
    }
    EXPECT_FALSE(few.add(4, "s", t0 + milliseconds(1) + kWindow + nanoseconds(1)));
    EXPECT_TRUE(few.add(5, "s", t0 + milliseconds(3) + kWindow + nanoseconds(1)));
}

TEST(VectorAssembly, AVectorIsGivenUpWhenItsWindowHasPassedAndNotBefore) {
    wire::VectorAssembly assembly(kWindow, 1024);
    Feeder feed{assembly};
    EXPECT_EQ(assembly.next_deadline(), std::nullopt);
    feed.add(1, "a", t0);
    feed.add(2, "b", t0 + milliseconds(10));
    feed.add(3, "c", t0 + milliseconds(20));
    feed.add(2, "b2", t0 + milliseconds(21));
    feed.add(2, "b3", t0 + milliseconds(22));  // the middle one completes
    EXPECT_EQ(take_ready(assembly), (Lines{"2:b|b2|b3+"}));
    assembly.expire(t0 + kWindow - nanoseconds(1));
    EXPECT_FALSE(assembly.has_ready());
    assembly.expire(t0 + kWindow + milliseconds(20));
    EXPECT_EQ(take_ready(assembly), (Lines{"1:a", "3:c"}));
    EXPECT_EQ(assembly.next_deadline(), std::nullopt);
    feed.add(4, "d", t0 + milliseconds(100));
    feed.add(5, "e", t0 + milliseconds(101));
    assembly.give_up_all();
    EXPECT_EQ(take_ready(assembly), (Lines{"4:d", "5:e"}));
}

// Up to the bound, every sender can have a vector under way; one more gives
// up the oldest.
TEST(VectorAssembly, ManySendersInterleavedAreAllWholeAndTheBoundGivesUpTheOldest) {
    wire::VectorAssembly assembly(kWindow, 1000);
    Feeder feed{assembly};
    for (int slot = 0; slot < 3; ++slot) {
        for (std::uint16_t port = 1; port <= 1000; ++port) {
            feed.add(port, std::to_string(slot), t0 + milliseconds(slot));
        }
    }
    const Lines out = take_ready(assembly);
    ASSERT_EQ(out.size(), 1000U);
    EXPECT_EQ(out.front(), "1:0|1|2+");
    EXPECT_EQ(out.back(), "1000:0|1|2+");

    wire::VectorAssembly small(kWindow, 3);
    Feeder few{small};
    for (std::uint16_t port = 1; port <= 3; ++port) {
        few.add(port, "p", t0 + milliseconds(port));
    }
    few.add(2, "q", t0 + milliseconds(4));
    EXPECT_FALSE(small.has_ready());
    few.add(4, "new", t0 + milliseconds(5));
    EXPECT_EQ(take_ready(small), (Lines{"1:p"}));
    EXPECT_EQ(small.waiting_senders(), 3U);
    EXPECT_EQ(small.next_deadline(), t0 + milliseconds(2) + kWindow);
    few.add(5, "more", t0 + milliseconds(6));
    few.add(6, "more", t0 + milliseconds(7));
    EXPECT_EQ(take_ready(small), (Lines{"2:p|q", "3:p"}));
}

}  // namespace
