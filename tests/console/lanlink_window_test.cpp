// How headless lanlink makes vectors of the datagrams it reads: the
// window within which a vector's datagrams must come, drops by the system
// accounted for, many senders at once, and what came with the "quit".
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child.h"
#include "json_lines.h"
#include "lanlink_e2e.h"
#include "lanlink_run.h"
#include "peer.h"
#include "udp.h"

namespace {

using e2e::HeadlessToFile;
using std::chrono::milliseconds;
using testsupport::exit_code;
using testsupport::kShutdown;
using testsupport::LoopbackUdp;
using testsupport::Printout;
using testsupport::printouts_in;
using testsupport::z;

// A peer held up (here stopped) while a sender floods it, then served while
// the flood goes on: every datagram sent is in a printout, a drop line or a
// set-aside line; no printout holds datagrams from both sides of a loss (they
// were sent one right after the other), and none is shifted past one.
// On either family: the IPv6 socket's drops are told as exactly; and as
// exactly in JSON.
TEST(LanlinkHeadless, NoVectorSpansADropAndEveryDatagramIsAccountedFor) {
    for (const auto& [family, json] :
         {std::pair{AF_INET, false}, std::pair{AF_INET6, false}, std::pair{AF_INET, true}}) {
        if (family == AF_INET6 && !testsupport::peer_has_ipv6()) {
            continue;  // this machine has no IPv6
        }
        // A window that the sending's own pauses cannot exceed.
        HeadlessToFile peer(0, json ? "--json" : "");
        ASSERT_TRUE(peer.started());
        peer.child().kill_now(SIGSTOP);
        const LoopbackUdp sender(0, false, 1, family);
        int next = 0;
        const auto send_numbered = [&](int count) {
            for (int i = 0; i < count; ++i, ++next) {
                sender.send(peer.port(), z("d" + std::to_string(next)));
            }
        };
        // More than the largest receive queue the kernel allows here can hold.
        send_numbered(60000);
        ASSERT_GT(testsupport::kernel_drops(peer.port(), family).value_or(0), 0UL);
        peer.child().kill_now(SIGCONT);
        send_numbered(30000);  // while the backlog is served
        ASSERT_TRUE(testsupport::wait_until_read(peer.port(), family));
        std::this_thread::sleep_for(milliseconds(1300));  // the quit a window past the loss
        const auto dropped = testsupport::kernel_drops(peer.port(), family);
        ASSERT_TRUE(dropped);
        // From a sender of its own: the flood's last vector may wait for its rest.
        LoopbackUdp(0, false, 1, family).send_vector(peer.port(), z("q"), z("q"), z("quit"));
        EXPECT_EQ(exit_code(peer.child().wait_exit(testsupport::patient())), 0);

        const std::string out = peer.output();
        const std::vector<Printout> shown = testsupport::printouts_in(out, json);
        long datagrams = 0;
        int spanning = 0;
        int shifted = 0;
        for (const Printout& p : shown) {
            // Vectors start at the datagrams numbered by threes.
            shifted += !p.ip.empty() && p.ip.front() == 'd' && std::stol(p.ip.substr(1)) % 3 != 0;
            std::vector<long> numbers;
            for (const std::string* text : {&p.ip, &p.port, &p.msg}) {
                if (!text->empty() && text->front() == 'd') {
                    numbers.push_back(std::stol(text->substr(1)));
                }
            }
            datagrams += static_cast<long>(numbers.size());
            for (std::size_t i = 1; i < numbers.size(); ++i) {
                spanning += numbers[i] != numbers[i - 1] + 1 ? 1 : 0;
            }
        }
        EXPECT_EQ(spanning, 0);
        EXPECT_EQ(shifted, 0);
        EXPECT_GT(testsupport::told_set_aside(out, json), 0L);
        EXPECT_GT(*dropped, 0UL);
        EXPECT_EQ(testsupport::told_drops(out, json), static_cast<long>(*dropped));
        EXPECT_EQ(
            datagrams + testsupport::told_drops(out, json) + testsupport::told_set_aside(out, json),
            next);
        ASSERT_FALSE(shown.empty());
        EXPECT_EQ(shown.back().msg, "quit");
        const std::string end =
            json ? "{\"event\":\"quit\",\"time\":"
                 : "\nServer recieved \"quit\" signal from client!\n" + std::string(kShutdown);
        EXPECT_NE(out.find(end), std::string::npos);
    }
}

// A vector's datagrams come within a window of its first: the rest of a
// vector that comes later starts a vector of its own, even while another
// sender keeps the socket busy, and neither part is obeyed. A longer
// window (-W) takes it in. The rest comes at least 200 ms after the first
// datagram, and (unless the machine held the test up ten times over)
// within a second of it.
TEST(LanlinkHeadlessAnswer, ARestLaterThanTheWindowIsNotJoinedWhileTheSocketIsBusy) {
    const LoopbackUdp answers;
    for (const std::string window : {"-W 50", "-W 1000"}) {
        HeadlessToFile peer(answers.port(), window);
        ASSERT_TRUE(peer.started());
        const LoopbackUdp late;
        const LoopbackUdp busy;
        const auto first = std::chrono::steady_clock::now();
        late.send(peer.port(), z("10.0.0.1"));
        late.send(peer.port(), z("4555"));
        for (int i = 0; i < 100; ++i) {
            busy.send_vector(peer.port(), z("b"), z(std::to_string(i)), z("busy"));
            std::this_thread::sleep_for(milliseconds(2));
        }
        late.send(peer.port(), z("update"));
        const auto apart = std::chrono::steady_clock::now() - first;
        const bool answered =
            answers.receive(window == "-W 50" ? milliseconds(500) : testsupport::patient())
                .has_value();
        busy.send_vector(peer.port(), z("q"), z("q"), z("quit"));
        EXPECT_EQ(exit_code(peer.child().wait_exit()), 0);
        const std::vector<Printout> shown = printouts_in(peer.output());
        int busy_whole = 0;
        std::vector<std::string> from_late;
        for (const Printout& p : shown) {
            if (p.ip == "b") {
                busy_whole += p.msg == "busy" ? 1 : 0;
            } else if (p.ip != "q") {
                from_late.push_back(p.ip + "|" + p.port + "|" + p.msg);
            }
        }
        EXPECT_EQ(busy_whole, 100) << window;
        if (window == "-W 50") {
            EXPECT_FALSE(answered);
            EXPECT_EQ(from_late, (std::vector<std::string>{"10.0.0.1|4555|", "update||"}));
        } else {
            ASSERT_LT(apart, milliseconds(1000)) << "the test's own sends came a second apart";
            EXPECT_TRUE(answered);
            EXPECT_EQ(from_late, (std::vector<std::string>{"10.0.0.1|4555|update"}));
        }
        answers.drain();
    }
}

// The window is 50 ms unless -W says otherwise: the rest of a vector that
// comes half a millisecond within it joins it, half a millisecond beyond it
// does not. The peer is held up meanwhile, so it reads them all at once.
TEST(LanlinkHeadless, TheWindowIsFiftyMillisecondsByDefault) {
    HeadlessToFile peer(0, "", true);
    ASSERT_TRUE(peer.started());
    peer.child().kill_now(SIGSTOP);
    // Datagrams of another sender wait before them, up to two thousand (as
    // many as the queue holds): read long after they came, and more than a
    // turn's worth later, they are judged by when they came.
    const LoopbackUdp other;
    const int before = std::min(2000, testsupport::peer_queue_bytes() / 2 / 1024);
    for (int i = 0; i < before; ++i) {
        other.send(peer.port(), z("o"));
    }
    const testsupport::WindowProbe probe = testsupport::probe_window(peer.port(), milliseconds(50));
    peer.child().kill_now(SIGCONT);
    ASSERT_GT(probe.within, 0);
    ASSERT_GT(probe.beyond, 0);
    LoopbackUdp().send_vector(peer.port(), z("q"), z("q"), z("quit"));
    EXPECT_EQ(exit_code(peer.child().wait_exit()), 0);
    EXPECT_EQ(testsupport::telling_printouts(probe, peer.output()), probe.expected);
}

// The longest window, a second: an incomplete vector waits for it whole,
// however long the one wait must then sleep, and is given up after it.
TEST(LanlinkHeadless, AWindowOfASecondIsWaitedOutWhole) {
    HeadlessToFile peer(0, "-W 1000");
    ASSERT_TRUE(peer.started());
    const LoopbackUdp sender;
    const auto sent = std::chrono::steady_clock::now();
    sender.send(peer.port(), z("alone"));
    const std::string given_up = "\t  IP: alone\n\tPORT: \n\t MSG: \n";
    std::string out;
    testsupport::eventually([&] {
        out = peer.output();
        return out.find(given_up) != std::string::npos;
    });
    EXPECT_NE(out.find(given_up), std::string::npos) << out;
    EXPECT_GE(std::chrono::steady_clock::now() - sent, milliseconds(1000));
    sender.send_vector(peer.port(), z("q"), z("q"), z("quit"));
    EXPECT_EQ(exit_code(peer.child().wait_exit()), 0);
    EXPECT_EQ(peer.child().errors(), "");
}

// One datagram injected "from" a sender's own address and port shifts that
// sender's datagrams only until its next pause longer than the window: one
// vector is lost, every later update is answered with its own texts. The
// pause is the wait for the lost vector's answer, longer than the window.
TEST(LanlinkHeadlessAnswer, AStrayDatagramCostsItsSenderAtMostOneVector) {
    const LoopbackUdp answers;
    HeadlessToFile peer(answers.port(), "-W 300");
    ASSERT_TRUE(peer.started());
    const LoopbackUdp sender(0, true);
    const LoopbackUdp spoof(sender.port(), true);
    std::vector<std::string> answered;
    for (int i = 0; i < 10; ++i) {
        if (i == 4) {
            spoof.send(peer.port(), z("stray"));
        }
        sender.send_vector(peer.port(), z("10.0.0.1"), z(std::to_string(5000 + i)), z("update"));
        for (int d = 0; d < 3; ++d) {
            if (const auto got = answers.receive(milliseconds(400))) {
                answered.push_back(got->bytes.substr(0, got->bytes.find('\0')));
            }
        }
        answers.drain();
    }
    sender.send_vector(peer.port(), z("q"), z("q"), z("quit"));
    EXPECT_EQ(exit_code(peer.child().wait_exit()), 0);
    std::vector<std::string> expected;
    for (int i = 0; i < 10; ++i) {
        if (i != 4) {
            for (const std::string& text :
                 {std::string("10.0.0.1"), std::to_string(5000 + i), std::string("up_resp")}) {
                expected.push_back(text);
            }
        }
    }
    EXPECT_EQ(answered, expected);
}

// Senders interleaving datagram by datagram, far more of them than ever
// send at once: every vector whole, every update answered with its own texts.
TEST(LanlinkHeadlessAnswer, TwoHundredInterleavedSendersAreAllWholeAndAnswered) {
    const LoopbackUdp answers;
    HeadlessToFile peer(answers.port());
    ASSERT_TRUE(peer.started());
    constexpr int kSenders = 200;
    std::vector<std::unique_ptr<LoopbackUdp>> senders;
    senders.reserve(kSenders);
    for (int i = 0; i < kSenders; ++i) {
        senders.push_back(std::make_unique<LoopbackUdp>());
    }
    // Each round is read before the next is sent, and the answers a
    // quarter at a time: never more at once than a queue of the system's
    // default size holds.
    for (const std::string slot : {"address", "port"}) {
        for (int i = 0; i < kSenders; ++i) {
            const std::string text =
                slot == "address" ? "s" + std::to_string(i) : std::to_string(i);
            senders[static_cast<std::size_t>(i)]->send(peer.port(), z(text));
        }
        ASSERT_TRUE(testsupport::wait_until_read(peer.port()));
    }
    std::set<int> own;
    constexpr int kQuarter = kSenders / 4;
    for (int first = 0; first < kSenders; first += kQuarter) {
        for (int i = first; i < first + kQuarter; ++i) {
            senders[static_cast<std::size_t>(i)]->send(peer.port(), z("update"));
        }
        for (int i = first; i < first + kQuarter; ++i) {
            std::string got[3];
            for (std::string& bytes : got) {
                const auto d = answers.receive(testsupport::patient());
                ASSERT_TRUE(d) << i;
                bytes = d->bytes.substr(0, d->bytes.find('\0'));
            }
            if (got[0] == "s" + got[1] && got[2] == "up_resp") {
                own.insert(std::stoi(got[1]));
            }
        }
    }
    EXPECT_EQ(own.size(), static_cast<std::size_t>(kSenders));
    // More than the bound of what waits to be written (1 MiB), to a file,
    // which takes everything: all of it shown, nothing counted away.
    for (int i = 0; i < kSenders; ++i) {
        testsupport::send_big_vector(*senders[0], peer.port());
        if (i % 20 == 19) {
            ASSERT_TRUE(testsupport::wait_until_read(peer.port()));
        }
    }
    senders[0]->send_vector(peer.port(), z("q"), z("q"), z("quit"));
    EXPECT_EQ(exit_code(peer.child().wait_exit()), 0);
    EXPECT_EQ(printouts_in(peer.output()).size(), static_cast<std::size_t>(2 * kSenders + 1));
    EXPECT_EQ(peer.output().find(" not shown"), std::string::npos);
}

// What was read together with the "quit" is handled before the end, in
// order, after it as before it: printed, and updates answered.
TEST(LanlinkHeadlessAnswer, WhatCameWithTheQuitIsHandledInOrderBeforeTheEnd) {
    const LoopbackUdp answers;
    HeadlessToFile peer(answers.port());
    ASSERT_TRUE(peer.started());
    peer.child().kill_now(SIGSTOP);
    const LoopbackUdp sender;
    const LoopbackUdp lone;
    sender.send_vector(peer.port(), z("A"), z("1"), z("update"));
    sender.send_vector(peer.port(), z("B"), z("2"), z("update"));
    sender.send_vector(peer.port(), z("Q"), z("3"), z("quit"));
    lone.send(peer.port(), z("lone"));
    sender.send_vector(peer.port(), z("C"), z("4"), z("update"));
    std::this_thread::sleep_for(milliseconds(50));
    peer.child().kill_now(SIGCONT);
    EXPECT_EQ(exit_code(peer.child().wait_exit()), 0);
    std::vector<std::string> answered;
    while (const auto got = answers.receive(milliseconds(200))) {
        answered.push_back(got->bytes.substr(0, got->bytes.find('\0')));
    }
    EXPECT_EQ(answered, (std::vector<std::string>{"A", "1", "up_resp", "B", "2", "up_resp", "C",
                                                  "4", "up_resp"}));
    const std::string out = peer.output();
    std::vector<std::string> order;
    for (const Printout& p : printouts_in(out)) {
        order.push_back(p.ip + "|" + p.port + "|" + p.msg);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"A|1|update", "B|2|update", "Q|3|quit", "C|4|update",
                                               "lone||"}));
    const auto quit = out.find("\nServer recieved \"quit\" signal from client!\n");
    const auto after = out.find("\t  IP: C");
    const auto end = out.find(kShutdown);
    EXPECT_LT(quit, after);
    EXPECT_LT(out.find("Update request complete.\n", after), end);
    EXPECT_NE(end, std::string::npos);
}

}  // namespace
