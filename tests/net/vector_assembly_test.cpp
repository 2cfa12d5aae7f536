// Putting vectors together per sender, driven with a clock of the test's own.
#include "vector_assembly.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Clock = wire::VectorAssembly::Clock;
using std::chrono::milliseconds;

IPaddress sender(Uint16 port) {
    return IPaddress{0x0100007f, port};
}

struct Shown {
    Uint16 port;
    int filled;
    std::vector<std::string> texts;
};

std::vector<Shown> take_ready(wire::VectorAssembly& assembly) {
    std::vector<Shown> shown;
    while (assembly.has_ready()) {
        const wire::AssembledVector& v = assembly.front();
        Shown s{v.from.port, v.filled, {}};
        for (int i = 0; i < v.filled; ++i) {
            const auto slot = static_cast<std::size_t>(i);
            s.texts.emplace_back(reinterpret_cast<const char*>(v.data.at(slot).data()),
                                 v.len.at(slot));
        }
        shown.push_back(s);
        assembly.pop();
    }
    return shown;
}

void add(wire::VectorAssembly& assembly, Uint16 port, const std::string& text,
         Clock::time_point at) {
    assembly.add(sender(port), reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                 at);
}

// Senders interleaving and a rest that comes late are proven on real
// sockets in the service's tests; here, the deadline and the bound.
TEST(VectorAssembly, AnIncompleteVectorIsGivenUpAtItsDeadlineAndTheNextStartsWhole) {
    wire::VectorAssembly assembly(milliseconds(200), 64);
    const Clock::time_point t0{};
    add(assembly, 7, "lone", t0);
    add(assembly, 8, std::string(600, 'w'), t0 + milliseconds(50));  // cut to a packet
    add(assembly, 8, "", t0 + milliseconds(50));
    assembly.expire(t0 + milliseconds(200));
    auto shown = take_ready(assembly);
    ASSERT_EQ(shown.size(), 1U);
    EXPECT_EQ(shown[0].port, 7);
    EXPECT_EQ(shown[0].filled, 1);
    EXPECT_EQ(assembly.next_deadline(), t0 + milliseconds(250));
    // The given-up sender's next datagrams make a vector of their own.
    for (const char* text : {"a", "b", "c"}) {
        add(assembly, 7, text, t0 + milliseconds(210));
    }
    // Losses: every incomplete vector is given up at once, oldest first.
    assembly.give_up_all();
    shown = take_ready(assembly);
    ASSERT_EQ(shown.size(), 2U);
    EXPECT_EQ(shown[0].texts, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(shown[1].port, 8);
    EXPECT_EQ(shown[1].texts, (std::vector<std::string>{std::string(512, 'w'), ""}));
    EXPECT_EQ(assembly.waiting_senders(), 0U);
}

TEST(VectorAssembly, ANewSenderBeyondTheBoundGivesUpTheOldest) {
    wire::VectorAssembly assembly(milliseconds(200), 64);
    const Clock::time_point t0{};
    for (Uint16 port = 1; port <= 64; ++port) {
        add(assembly, port, "first", t0 + milliseconds(port));
    }
    EXPECT_FALSE(assembly.has_ready());
    add(assembly, 1000, "new", t0 + milliseconds(100));
    auto shown = take_ready(assembly);
    ASSERT_EQ(shown.size(), 1U);
    EXPECT_EQ(shown[0].port, 1);
    EXPECT_EQ(assembly.waiting_senders(), 64U);
    EXPECT_EQ(assembly.next_deadline(), t0 + milliseconds(202));
}

}  // namespace
