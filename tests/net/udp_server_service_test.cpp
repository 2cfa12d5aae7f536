// UDP_Server_Service on real SDL_net sockets, talking to test sockets on
// 127.0.0.1 only.
#include "udp_server_service.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "capture.h"
#include "child.h"
#include "pcap_read.h"
#include "peer.h"
#include "service_run.h"
#include "trailer.h"
#include "trust.h"
#include "udp.h"
#include "vector_keys.h"

namespace {

using std::chrono::milliseconds;
using testsupport::Capture;
using testsupport::LoopbackUdp;
using testsupport::z;

std::string startup_text(int port) {
    return "Accepting connections on port: " + std::to_string(port) +
           "\nInitializing SDL_net (recieve)...Success!\nOpening port " + std::to_string(port) +
           " for incoming connections...Success!\n"
           "Opening random communication socket for sending...Success!\n"
           "Resolving destination address...Success!\n"
           "Allocating memory for sending packets...Success!\n"
           "Allocating memory for recieving packets...Success!\n\n";
}

const char* const kShutdownText =
    "Shutting down sending client...\n"
    "Freeing allocated memory for outbound packets...Done!\n"
    "Shutting down recieving client...\n"
    "Freeing allocated memory for inbound packets...Done!\n"
    "Exiting SDLNet and terminating server...Done!\n";

std::string printout(const std::string& ip, const std::string& port, const std::string& msg) {
    return "Packet array incoming!\n\t  IP: " + ip + "\n\tPORT: " + port + "\n\t MSG: " + msg +
           "\n";
}

// The answer's lines for a sender at 127.0.0.`host`:`sender_port`; the
// address and port are shown as SDL_net holds them, in network byte order.
std::string answer_text(std::uint16_t sender_port, std::uint8_t host = 1) {
    std::string text =
        "Recieved update request from client... redirecting and sending information...\n"
        "ip: " +
        std::to_string(static_cast<int>(htonl(0x7f000000U | host))) +
        "\nhost: " + std::to_string(htons(sender_port)) +
        "\nSetting packet vector destination info...\n";
    for (int i = 0; i < 3; ++i) {
        text += "Packet[" + std::to_string(i) +
                "]: setting host->setting port->setting length->9 setting channel...\n";
    }
    return text + "Sending...\nUpdate request complete.\n";
}

class Service : public ::testing::Test {
  protected:
    void SetUp() override {
        port_ = testsupport::free_udp_port();
        Capture out(1);
        Peer_Settings chosen = settings();
        chosen.update_host = "127.0.0.1";
        chosen.update_port = update_.port();
        service_ = std::make_unique<UDP_Server_Service>(port_, events_, dest_ip_,
                                                        wire::kInitialDestPort, chosen);
        startup_ = out.text();
    }
    void TearDown() override {
        if (!service_) {
            return;  // skipped before it started
        }
        Capture out(1);
        service_.reset();
        EXPECT_EQ(out.text(), kShutdownText);
    }
    // A window that the test's own sending cannot miss, however busy the
    // machine: only the tests of the window itself use another.
    virtual Peer_Settings settings() const {
        Peer_Settings settings;
        settings.window = milliseconds(1000);
        if (!testsupport::family_options().empty()) {
            settings.family = net::Family::kIpv4;
        }
        return settings;
    }

    // Serves the socket, as the console's wait does, until one vector has
    // been handled (at most 3 s); its printout.
    std::string receive(int* result = nullptr) const {
        Capture out(1);
        const auto end = std::chrono::steady_clock::now() + testsupport::patient();
        int r = 1;
        while (out.text().empty() && std::chrono::steady_clock::now() < end) {
            const int timeout = testsupport::wait_timeout_ms(*service_);
            testsupport::wait_for_data(*service_, timeout < 0 ? 100 : timeout);
            r = service_->recieve_data();
        }
        if (result != nullptr) {
            *result = r;
        }
        return out.text();
    }

    int port_ = 0;
    std::string dest_ip_ = wire::kInitialDestIp;
    LoopbackUdp peer_;
    LoopbackUdp update_;
    testsupport::Text_Events events_;
    std::unique_ptr<UDP_Server_Service> service_;
    std::string startup_;
};

TEST_F(Service, StartsUpWithItsProgressLines) {
    EXPECT_EQ(startup_, startup_text(port_));
}

TEST_F(Service, ShowsAndChangesTheDestination) {
    Capture out(1);
    service_->show_dest_info();
    EXPECT_EQ(service_->resolve_dest_address(5000), 1);  // "0" resolves as a numeric address
    EXPECT_EQ(service_->resolve_dest_address("10.0.0.7"), 1);
    // Ports are never wrapped to 16 bits: out of range is refused, nothing changes.
    EXPECT_EQ(service_->resolve_dest_address(-1), -1);
    EXPECT_EQ(service_->resolve_dest_address(65536), -1);
    EXPECT_EQ(service_->resolve_dest_address("192.168.100.200"), 1);
    EXPECT_EQ(service_->resolve_dest_address(65535), 1);
    service_->show_dest_info();
    EXPECT_EQ(out.text(),
              "Sending packets to 0 on port 9999\n"
              "Setting destination port 5000 @ 0...Success!\n"
              "Resolving new destination IP @ 10.0.0.7 on port 5000...Success!\n"
              "Port -1 is outside 0 to 65535: the destination stays 10.0.0.7 on port 5000.\n"
              "Port 65536 is outside 0 to 65535: the destination stays 10.0.0.7 on port 5000.\n"
              "Resolving new destination IP @ 192.168.100.200 on port 5000...Success!\n"
              "Setting destination port 65535 @ 192.168.100.200...Success!\n"
              "Sending packets to 192.168.100.200 on port 65535\n");
}

TEST(ServiceMessage, SendsTheWordToTheDestinationItStartedWith) {
    const LoopbackUdp other;
    const int port = testsupport::free_udp_port();
    Capture out(1);
    testsupport::Text_Events events;
    UDP_Server_Service service(port, events, "127.0.0.1", other.port());
    const std::size_t started = out.text().size();
    service.show_dest_info();
    const std::string word = "h\xc3\xa9llo\x1b";
    EXPECT_EQ(service.send_message(word), 1);
    EXPECT_EQ(service.send_message(std::string(512, 'w')), 0);  // no room for its zero
    EXPECT_EQ(service.send_message(std::string(511, 'w')), 1);
    for (const std::string& expected :
         {z("127.0.0.1"), z(std::to_string(port)), z(word), z("127.0.0.1"), z(std::to_string(port)),
          z(std::string(511, 'w'))}) {
        const auto got = other.receive(testsupport::patient());
        ASSERT_TRUE(got);
        EXPECT_EQ(got->bytes, expected);
        EXPECT_NE(got->from_port, port);  // from the send socket
    }
    EXPECT_FALSE(other.receive(milliseconds(20)));
    const std::string to = " to 127.0.0.1 on port " + std::to_string(other.port()) + "\n";
    EXPECT_EQ(out.text().substr(started),
              "Sending packets to 127.0.0.1 on port " + std::to_string(other.port()) +
                  "\nSent \"h\xc3\xa9llo\\x1b\"" + to +
                  "Not sent: the message is 512 bytes long, and a packet holds 511 and its "
                  "terminating zero.\nSent \"" +
                  std::string(511, 'w') + "\"" + to);
    // Port 0 can be resolved but not sent to.
    EXPECT_EQ(service.resolve_dest_address(0), 1);
    const std::size_t before = out.text().size();
    EXPECT_EQ(service.send_message("x"), 0);
    EXPECT_EQ(out.text().substr(before), "Error sending packet!\n");
}

TEST(ServiceStartupDeathTest, ADestinationThatCannotBeResolvedEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int port = testsupport::free_udp_port();
    // A name with an empty label is refused on the spot, without asking DNS,
    // and SDL_net gives no reason of its own.
    testsupport::Text_Events events;
    EXPECT_EXIT(UDP_Server_Service service(port, events, "a..b", 4556),
                ::testing::ExitedWithCode(1),
                "FAILED!\nSDLNet_ResolveHost\\(a..b 4556\\): the name is not a known host");
    EXPECT_EXIT(UDP_Server_Service service(port, events, "127.0.0.1", 70000),
                ::testing::ExitedWithCode(1),
                "FAILED!\nSDLNet_ResolveHost\\(127.0.0.1 70000\\): the port is outside 0 to 65535");
}

TEST_F(Service, ReportsADestinationThatCannotBeResolved) {
    Capture out(1);
    Capture err(2);
    // A name with an empty label is refused on the spot, without asking DNS.
    EXPECT_EQ(service_->resolve_dest_address("a..b"), 0);
    service_->show_dest_info();
    EXPECT_EQ(out.text(),
              "Resolving new destination IP @ a..b on port 9999...Sending packets to a..b on "
              "port 9999\n");
    EXPECT_EQ(err.text(),
              "FAILED!\nSDLNet_ResolveHost(a..b 9999): the name is not a known host "
              "or numeric address\n");
}

// A thousand receives with nothing there take microseconds each; one that
// waited even 5 ms each time would take 2.5 times the limit.
TEST_F(Service, ReceivingNothingPrintsNothingAndDoesNotWait) {
    std::chrono::steady_clock::duration took{};
    std::string shown;
    {
        Capture out(1);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 1000; ++i) {
            EXPECT_EQ(service_->recieve_data(), 1);
        }
        took = std::chrono::steady_clock::now() - start;
        shown = out.text();
    }
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_EQ(shown, "");
    EXPECT_EQ(testsupport::wait_timeout_ms(*service_), -1);  // nothing incomplete: no time limit
    EXPECT_FALSE(testsupport::wait_for_data(*service_, 20));
}

TEST_F(Service, QuitFromThePeerStopsTheLoop) {
    peer_.send_vector(port_, z("10.0.0.2"), z("4555"), z("quit"));
    int result = -1;
    EXPECT_EQ(receive(&result), printout("10.0.0.2", "4555", "quit") +
                                    "\nServer recieved \"quit\" signal from client!\n");
    EXPECT_EQ(result, 0);
}

// More than a read's turn of 1,024 datagrams waits, long enough that every
// vector's window has passed: a vector split between two turns is whole.
// On the way out, which reads for 2 s at most, what is left after the first
// turn is counted, exactly.
TEST_F(Service, WhatWaitsBeyondOneReadIsReadWholeOrCountedAtTheEnd) {
    if (testsupport::peer_queue_bytes() / 2 / 1024 < 1500) {
        GTEST_SKIP() << "the receive queue cannot hold 1,500 datagrams here";
    }
    const auto queue = [this] {
        for (int i = 0; i < 500; ++i) {
            peer_.send_vector(port_, z("10.0.0.2"), z("4555"), z("v"));
        }
    };
    Capture out(1);
    queue();
    std::this_thread::sleep_for(milliseconds(1100));
    while (testsupport::wait_for_data(*service_, 0)) {
        service_->recieve_data();
    }
    EXPECT_EQ(service_->counters().vectors_received, 500U);
    EXPECT_EQ(service_->counters().incomplete_vectors, 0U);
    queue();
    service_->finish([] { std::this_thread::sleep_for(milliseconds(2100)); });
    const std::string shown = out.text();
    EXPECT_NE(shown.find("\n476 datagrams left unread at exit\n"), std::string::npos)
        << shown.substr(shown.size() - std::min<std::size_t>(shown.size(), 300));
}

TEST_F(Service, OtherKeywordsArePrintedOnly) {
    for (const char* keyword : {"Quit", "quit ", "up_resp", "UPDATE", ""}) {
        peer_.send_vector(port_, z("a"), z("1"), z(keyword));
        int result = -1;
        EXPECT_EQ(receive(&result), printout("a", "1", keyword)) << keyword;
        EXPECT_EQ(result, 1);
    }
}

TEST_F(Service, TextsAreBoundedByTheBytesReceived) {
    const std::string full(512, 'x');
    // No terminating zero anywhere; a long payload is cut to the packet size,
    // counted and told; a zero inside a payload ends its text.
    peer_.send_vector(port_, full, std::string(600, 'y'), std::string("qu\0it", 5));
    EXPECT_EQ(receive(), printout(full, std::string(512, 'y'), "qu") +
                             "1 datagram cut to 512 bytes (last from 127.0.0.1:" +
                             std::to_string(peer_.port()) + ", 600 bytes)\n");
    EXPECT_EQ(service_->counters().datagrams_cut, 1U);
    // Shorter texts after longer ones show nothing of the earlier bytes.
    peer_.send_vector(port_, "ab", "7", "ok");
    EXPECT_EQ(receive(), printout("ab", "7", "ok"));
}

TEST_F(Service, ControlBytesAreShownEscapedButKeywordsComparedRaw) {
    peer_.send_vector(port_, "\x1b[2J\x7f", "\t\n", z("quit\r"));
    int result = -1;
    EXPECT_EQ(receive(&result), printout("\\x1b[2J\\x7f", "\\x09\\x0a", "quit\\x0d"));
    EXPECT_EQ(result, 1);
}

// A vector whose rest comes 40 ms late waits for it without holding up
// another sender's whole vector; the late sender's next vectors are whole.
TEST_F(Service, AVectorWaitsForItsSendersRestWhileOthersAreServed) {
    const LoopbackUdp other;
    peer_.send(port_, z("10.0.0.5"));
    ASSERT_TRUE(
        testsupport::wait_for_data(*service_, static_cast<int>(testsupport::patient().count())));
    {
        Capture out(1);
        EXPECT_EQ(service_->recieve_data(), 1);
        EXPECT_EQ(out.text(), "");  // nothing to show yet, and no wait
    }
    EXPECT_GT(testsupport::wait_timeout_ms(*service_), 0);
    other.send_vector(port_, z("10.0.0.6"), z("6006"), z("between"));
    EXPECT_EQ(receive(), printout("10.0.0.6", "6006", "between"));
    std::this_thread::sleep_for(milliseconds(40));
    peer_.send(port_, z("5005"));
    peer_.send(port_, z("late"));
    EXPECT_EQ(receive(), printout("10.0.0.5", "5005", "late"));
    EXPECT_EQ(testsupport::wait_timeout_ms(*service_), -1);
    peer_.send_vector(port_, z("10.0.0.5"), z("5005"), z("next"));
    EXPECT_EQ(receive(), printout("10.0.0.5", "5005", "next"));
}

// With a window long enough that none passes during the test.
class ServiceLongWindow : public Service {
  protected:
    Peer_Settings settings() const override {
        Peer_Settings settings;
        settings.window = milliseconds(1000);
        return settings;
    }
};

// 1,024 senders may each have an incomplete vector: the 1,025th gives up
// the oldest, and only it. The second oldest then completes its own.
TEST_F(ServiceLongWindow, TheOldestOfMoreThan1024IncompleteSendersIsGivenUp) {
    constexpr int kSenders = 1025;
    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_cur < kSenders + 100) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, kSenders + 100);
        setrlimit(RLIMIT_NOFILE, &files);
        if (files.rlim_cur < kSenders + 100) {
            GTEST_SKIP() << "too few descriptors allowed for " << kSenders << " senders";
        }
    }
    std::vector<std::unique_ptr<LoopbackUdp>> senders;
    senders.reserve(kSenders);
    for (int i = 0; i < kSenders; ++i) {
        senders.push_back(std::make_unique<LoopbackUdp>());
    }
    Capture out(1);
    const auto serve = [this] {
        while (testsupport::wait_for_data(*service_, 0)) {
            service_->recieve_data();
        }
    };
    for (int i = 0; i < kSenders; ++i) {
        senders[static_cast<std::size_t>(i)]->send(port_, z("s" + std::to_string(i)));
        if (i % 100 == 99) {
            serve();  // a small receive queue holds them all this way too
        }
    }
    serve();
    EXPECT_EQ(out.text(), printout("s0", "", ""));
    senders[1]->send(port_, z("1"));
    senders[1]->send(port_, z("hello"));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (service_->counters().vectors_received < 2 && std::chrono::steady_clock::now() < end) {
        testsupport::wait_for_data(*service_, 100);
        service_->recieve_data();
    }
    EXPECT_EQ(out.text(), printout("s0", "", "") + printout("s1", "1", "hello"));
    EXPECT_EQ(service_->counters().incomplete_vectors, 1U);
    EXPECT_EQ(service_->counters().datagrams_dropped, 0U);
}

// The window is 50 ms unless told otherwise, and it is judged by the
// kernel's arrival times, not by when the datagrams are read (here all of
// them after the last has arrived): the rest of a vector that comes half a
// millisecond within it joins it, half a millisecond beyond it does not.
// The window the program has unless told otherwise.
class ServiceDefaultWindow : public Service {
  protected:
    Peer_Settings settings() const override { return {}; }
};

TEST_F(ServiceDefaultWindow, TheDefaultWindowIsFiftyMillisecondsOfArrivalTime) {
    const testsupport::WindowProbe probe =
        testsupport::probe_window(static_cast<std::uint16_t>(port_), milliseconds(50));
    ASSERT_GT(probe.within, 0);
    ASSERT_GT(probe.beyond, 0);
    std::string shown;
    {
        Capture out(1);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while ((testsupport::wait_for_data(*service_, 0) ||
                testsupport::wait_timeout_ms(*service_) >= 0) &&
               std::chrono::steady_clock::now() < end) {
            testsupport::wait_for_data(*service_, testsupport::wait_timeout_ms(*service_));
            service_->recieve_data();
        }
        shown = out.text();
    }
    EXPECT_EQ(testsupport::telling_printouts(probe, shown), probe.expected);
}

TEST_F(Service, ThousandsOfRandomDatagramsAreHandledSafely) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    const int lengths[] = {0, 1, 2, 8, 9, 10, 100, 511, 512, 513, 1500};
    std::string shown;
    {
        Capture out(1);
        for (int i = 0; i < 3000; ++i) {
            std::string payload(static_cast<std::size_t>(lengths[random() % 11]), '\0');
            for (char& c : payload) {
                c = static_cast<char>(byte(random));
            }
            peer_.send(port_, payload);
            if (i % 16 == 15) {
                while (testsupport::wait_for_data(*service_, 0)) {
                    service_->recieve_data();
                }
            }
        }
        while (testsupport::wait_for_data(*service_, 20)) {
            service_->recieve_data();
        }
        shown = out.text();
    }
    // Only the printout's own tabs and line ends reach the terminal.
    for (const char c : shown) {
        const auto b = static_cast<unsigned char>(c);
        ASSERT_TRUE(b >= 0x20 || c == '\t' || c == '\n') << static_cast<int>(b);
        ASSERT_NE(b, 0x7f);
    }
    EXPECT_GT(shown.size(), 0U);
}

// Over IPv4 as ever, and with -6 alone from IPv6 loopback.
class ServiceDrops : public Service, public ::testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        if (GetParam() == AF_INET6 && !testsupport::peer_has_ipv6()) {
            GTEST_SKIP() << "this machine has no IPv6";
        }
        sender_ = std::make_unique<LoopbackUdp>(0, false, 1, GetParam());
        dest_ip_ = GetParam() == AF_INET6 ? "::1" : dest_ip_;
        Service::SetUp();
    }
    Peer_Settings settings() const override {
        Peer_Settings settings = Service::settings();
        if (GetParam() == AF_INET6) {
            settings.family = net::Family::kIpv6;
        }
        return settings;
    }
    std::unique_ptr<LoopbackUdp> sender_;
};

// Drops are in the counts as soon as they are asked for, before any
// datagram tells of them, and are told once, in one line, in their place.
TEST_P(ServiceDrops, DropsAreCountedWhenAskedForAndToldOnce) {
    for (int i = 0; i < 40000; ++i) {
        sender_->send(port_, z("x" + std::to_string(i)));
    }
    const auto dropped = testsupport::kernel_drops(static_cast<std::uint16_t>(port_), GetParam());
    ASSERT_TRUE(dropped);
    ASSERT_GT(*dropped, 0UL);
    EXPECT_EQ(service_->counters().datagrams_dropped, *dropped);
    std::string shown;
    {
        Capture out(1);
        while (testsupport::wait_for_data(
                   *service_, testsupport::wait_timeout_ms(*service_) < 0 ? 200 : 100) ||
               testsupport::wait_timeout_ms(*service_) >= 0) {
            service_->recieve_data();
        }
        shown = out.text();
    }
    const std::string line = std::to_string(*dropped) +
                             " datagrams dropped by the system before they could be read (the "
                             "receive queue was full)\n";
    const auto told = shown.find(line);
    ASSERT_NE(told, std::string::npos);
    EXPECT_EQ(shown.find(" dropped by the system", told + line.size()), std::string::npos);
    // Every datagram read before the loss is in a printout ahead of the line.
    EXPECT_EQ(shown.substr(told + line.size()), "");
    EXPECT_EQ(service_->counters().datagrams_dropped, *dropped);
    // Every datagram is either shown or counted as dropped.
    long printed = 0;
    for (auto at = shown.find(": x"); at != std::string::npos; at = shown.find(": x", at + 1)) {
        ++printed;
    }
    EXPECT_EQ(printed + static_cast<long>(*dropped), 40000);
    // Within a window of the loss, a sender's place is not known: set aside, and counted.
    Capture later(1);
    sender_->send_together(port_, {"l1", "l2", "l3"});
    ASSERT_TRUE(
        testsupport::wait_for_data(*service_, static_cast<int>(testsupport::patient().count())));
    service_->recieve_data();
    EXPECT_EQ(service_->counters().datagrams_set_aside, 3U);
    EXPECT_EQ(service_->counters_told().datagrams_set_aside, 3U);
}
INSTANTIATE_TEST_SUITE_P(Families, ServiceDrops, ::testing::Values(AF_INET, AF_INET6),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == AF_INET6 ? "IPv6Only" : "IPv4";
                         });

TEST_F(Service, SendUpdateSendsOnlyTheAddressedSlotBeforeAnyAnswer) {
    char data[] = "hello peer";
    LoopbackUdp source_sock;
    source_sock.send(port_, "x");
    ASSERT_TRUE(
        testsupport::wait_for_data(*service_, static_cast<int>(testsupport::patient().count())));
    // The first inbound packet, with the source address, is what send_update prints.
    UDPpacket** source = SDLNet_AllocPacketV(1, 16);
    ASSERT_NE(source, nullptr);
    source[0]->address.host = 0x0100007f;
    source[0]->address.port = 0x3412;
    Capture out(1);
    service_->send_update(data, source);
    EXPECT_EQ(out.text(), "SENDING!\nIP: 16777343\nport: 13330\n");
    const auto got = update_.receive(testsupport::patient());
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, z("hello peer"));
    EXPECT_FALSE(update_.receive(milliseconds(50)));
    SDLNet_FreePacketV(source);
}

// In a network namespace of its own, where 4555 is free whatever else runs.
TEST(ServiceStartup, ListenPortZeroFallsBackToTheDefault) {
    testsupport::Child child(
        [] {
            if (!testsupport::enter_private_network()) {
                return 77;
            }
            testsupport::Text_Events events;
            const UDP_Server_Service service(0, events);
            // The default port is the service's: nobody else can bind it.
            try {
                const LoopbackUdp other(wire::kDefaultListenPort);
                return 1;
            } catch (const std::runtime_error&) {
                return 0;
            }
        },
        testsupport::Input::kNull);
    const int status = testsupport::exit_code(child.wait_exit());
    if (status == 77) {
        GTEST_SKIP() << "no network namespace of its own can be had here";
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(child.output().rfind("\nNo port given...\nDefaulting to port 4555...\n"
                                   "Initializing SDL_net (recieve)...Success!\n"
                                   "Opening port 4555 for incoming connections...Success!\n",
                                   0),
              0U)
        << child.output();
}

TEST(ServiceStartupDeathTest, AListenPortOutOfRangeIsRefusedNotWrapped) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int port = testsupport::free_udp_port();
    testsupport::Text_Events events;
    EXPECT_EXIT(UDP_Server_Service service(port + 65536, events), ::testing::ExitedWithCode(1),
                "FAILED!\nSDLNet_UDP_Open\\(port\\): the port is outside 0 to 65535");
}

TEST(ServiceStartupDeathTest, ABusyListenPortEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const LoopbackUdp holder;
    testsupport::Text_Events events;
    EXPECT_EXIT(UDP_Server_Service service(holder.port(), events), ::testing::ExitedWithCode(1),
                "FAILED!\nSDLNet_UDP_Open\\(port\\): ");
    // On IPv6, beside IPv4 or alone, a port taken there is as fatal.
    if (testsupport::have_ipv6()) {
        const LoopbackUdp holder6(0, false, 1, AF_INET6);
        for (const net::Family family : {net::Family::kBoth, net::Family::kIpv6}) {
            Peer_Settings settings;
            settings.family = family;
            EXPECT_EXIT(
                UDP_Server_Service service(holder6.port(), events, "127.0.0.1", 9, settings),
                ::testing::ExitedWithCode(1),
                "FAILED!\nbind\\(\\[::\\]:[0-9]+\\): Address already in use");
        }
    }
}

// Answers go to a port of the test's own.
class ServiceAnswer : public Service {
  protected:
    Peer_Settings settings() const override {
        Peer_Settings settings = Service::settings();
        settings.answer_to.endpoint = settings.answer_to.endpoint.with_port(answers_.port());
        return settings;
    }

    LoopbackUdp answers_;

    std::string next_answer() const {
        const auto got = answers_.receive(testsupport::patient());
        return got ? got->bytes : std::string("<none>");
    }
};

TEST_F(ServiceAnswer, UpdateIsAnsweredWithThreeNineByteDatagrams) {
    const auto sent = std::chrono::steady_clock::now();
    peer_.send_vector(port_, z("10.0.0.2"), z("4555"), z("update"));
    int result = -1;
    EXPECT_EQ(receive(&result), printout("10.0.0.2", "4555", "update") + answer_text(peer_.port()));
    EXPECT_EQ(result, 1);
    const auto first = answers_.receive(testsupport::patient());
    // The answer leaves 1 ms after the vector was whole: never sooner.
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::microseconds(1000));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->bytes, std::string("10.0.0.2\0", 9));
    EXPECT_EQ(next_answer(), std::string("4555\0\0\0\0\0", 9));
    EXPECT_EQ(next_answer(), std::string("up_resp\0\0", 9));
    EXPECT_FALSE(answers_.receive(milliseconds(30)));
    // The answer leaves from the service's send socket, not from its listen port.
    EXPECT_NE(first->from_port, port_);
    EXPECT_EQ(service_->counters().updates_answered, 1U);
}

TEST_F(ServiceAnswer, OnlyAWholeVectorIsObeyedAndNoSlotIsStale) {
    peer_.send_vector(port_, z("10.0.0.2"), "4555\0junk", z("update"));
    receive();
    EXPECT_EQ(next_answer(), std::string("10.0.0.2\0", 9));
    EXPECT_EQ(next_answer(), std::string("4555\0\0\0\0\0", 9));
    EXPECT_EQ(next_answer(), std::string("up_resp\0\0", 9));

    // A lone datagram: given up when its window has passed, never sooner;
    // the slots it did not fill read empty, and the last vector's "update"
    // is not answered again.
    const auto sent = std::chrono::steady_clock::now();
    peer_.send(port_, "127.0.0.1");
    EXPECT_EQ(receive(), printout("127.0.0.1", "", ""));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, wire::kDefaultWindow);
    // Two datagrams whose second says "quit": not a whole vector, so not obeyed.
    peer_.send(port_, z("a"));
    peer_.send(port_, z("quit"));
    int result = -1;
    EXPECT_EQ(receive(&result), printout("a", "quit", ""));
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(answers_.receive(milliseconds(30)));
}

// Two senders whose datagrams interleave: each vector holds one sender's
// texts, and each update is answered with its own sender's texts.
TEST_F(ServiceAnswer, InterleavedSendersKeepTheirOwnVectorsAndAnswers) {
    const LoopbackUdp other;
    const std::string texts[2][3] = {{z("10.0.0.1"), z("5001"), z("update")},
                                     {z("10.0.0.2"), z("5002"), z("hello2")}};
    for (int round = 0; round < 2; ++round) {
        for (int slot = 0; slot < 3; ++slot) {
            peer_.send(port_, texts[round][slot]);
            other.send(port_, texts[1 - round][slot]);
        }
    }
    std::string shown;
    // One serve may handle more than one of them.
    for (int i = 0; i < 4 && service_->counters().vectors_received < 4; ++i) {
        shown += receive();
    }
    const std::string update = printout("10.0.0.1", "5001", "update");
    const std::string hello = printout("10.0.0.2", "5002", "hello2");
    EXPECT_EQ(shown, update + answer_text(peer_.port()) + hello + hello + update +
                         answer_text(other.port()));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(next_answer(), std::string("10.0.0.1\0", 9));
        EXPECT_EQ(next_answer(), std::string("5001\0\0\0\0\0", 9));
        EXPECT_EQ(next_answer(), std::string("up_resp\0\0", 9));
    }
    EXPECT_EQ(service_->counters().vectors_received, 4U);
    EXPECT_EQ(service_->counters().updates_answered, 2U);
    EXPECT_EQ(service_->counters().incomplete_vectors, 0U);
}

// Each answer waits 1 ms after its own vector was whole, not after the
// answer before it: once a burst's pauses are all over, one turn answers it
// whole, in order, however slow the machine.
TEST_F(ServiceAnswer, ABurstOfVectorsIsAnsweredWholeAlignedAndWithoutWaitingInLine) {
    // As many as the receive queue holds at once (a small datagram takes
    // about a KiB of it here, more with some slack), 300 at most.
    int queue = 0;
    socklen_t len = sizeof queue;
    ASSERT_EQ(getsockopt(service_->descriptor(0), SOL_SOCKET, SO_RCVBUF, &queue, &len), 0);
    const int kVectors = std::min(300, queue / (3 * 1536));
    for (int i = 0; i < kVectors; ++i) {
        peer_.send_vector(port_, z("a" + std::to_string(i)), z(std::to_string(i)), z("update"));
    }
    // On loopback a datagram is queued before its send returns: every
    // pause is over a millisecond after the last.
    std::this_thread::sleep_for(std::chrono::microseconds(1500));
    std::string shown;
    {
        Capture out(1);
        service_->recieve_data();
        shown = out.text();
    }
    EXPECT_EQ(service_->counters().updates_answered, static_cast<std::uint64_t>(kVectors));
    std::string expected;
    for (int i = 0; i < kVectors; ++i) {
        expected += printout("a" + std::to_string(i), std::to_string(i), "update") +
                    answer_text(peer_.port());
    }
    EXPECT_EQ(shown, expected);
    for (int i = 0; i < kVectors; ++i) {
        std::string slot0 = z("a" + std::to_string(i));
        slot0.resize(9, '\0');
        std::string slot1 = z(std::to_string(i));
        slot1.resize(9, '\0');
        ASSERT_EQ(next_answer(), slot0) << i;
        ASSERT_EQ(next_answer(), slot1) << i;
        ASSERT_EQ(next_answer(), std::string("up_resp\0\0", 9)) << i;
    }
}

TEST_F(ServiceAnswer, SendUpdateAfterAnAnswerSendsTheWholeVector) {
    peer_.send_vector(port_, z("10.0.0.2"), z("4555"), z("update"));
    receive();
    answers_.drain();
    UDPpacket** source = SDLNet_AllocPacketV(1, 16);
    ASSERT_NE(source, nullptr);
    source[0]->address = IPaddress{};
    char data[] = "hi";
    {
        Capture out(1);
        service_->send_update(data, source);
    }
    const auto got = update_.receive(testsupport::patient());
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, z("hi"));
    // Slots 1 and 2 still carry the last answer, to the answer endpoint.
    EXPECT_EQ(next_answer(), std::string("4555\0\0\0\0\0", 9));
    EXPECT_EQ(next_answer(), std::string("up_resp\0\0", 9));
    SDLNet_FreePacketV(source);
}

TEST(ServiceSendUpdate, AnUnresolvableEndpointSendsNothing) {
    const int port = testsupport::free_udp_port();
    Capture out(1);
    testsupport::Text_Events events;
    Peer_Settings settings;
    settings.update_host = "a..b";
    settings.update_port = 4567;
    UDP_Server_Service service(port, events, wire::kInitialDestIp, wire::kInitialDestPort,
                               settings);
    UDPpacket** source = SDLNet_AllocPacketV(1, 16);
    ASSERT_NE(source, nullptr);
    source[0]->address = IPaddress{};
    char data[] = "hi";
    const std::string before = out.text();
    service.send_update(data, source);
    EXPECT_EQ(out.text().substr(before.size()),
              "SENDING!\nIP: 0\nport: 0\n\nError re-resolving host!\n");
    SDLNet_FreePacketV(source);
}

// Only 127.0.0.2 may talk: what 127.0.0.1 sends is neither shown nor
// obeyed nor answered, only counted and told, at most once a second.
class ServiceAllowAnswer : public ServiceAnswer {
  protected:
    Peer_Settings settings() const override {
        Peer_Settings settings = ServiceAnswer::settings();
        std::string error;
        net::Network network;
        EXPECT_TRUE(net::parse_network("127.0.0.2", network, error)) << error;
        settings.allow.push_back(network);
        return settings;
    }
};

TEST_F(ServiceAllowAnswer, OnlyAllowedHostsAreHeardAndTheRestIsCountedAndTold) {
    const LoopbackUdp allowed(0, false, 2);
    peer_.send_vector(port_, z("10.0.0.1"), z("1"), z("quit"));
    int result = -1;
    const std::string told = "3 datagrams refused from hosts not allowed (last from 127.0.0.1:" +
                             std::to_string(peer_.port()) + ")\n";
    EXPECT_EQ(receive(&result), told);
    EXPECT_EQ(result, 1);
    // More within the second: counted now, told when the second is over.
    peer_.send_vector(port_, z("10.0.0.1"), z("1"), z("update"));
    peer_.send(port_, z("odd"));
    allowed.send_vector(port_, z("10.0.0.2"), z("2"), z("update"));
    EXPECT_EQ(receive(), printout("10.0.0.2", "2", "update") + answer_text(allowed.port(), 2));
    EXPECT_EQ(next_answer(), std::string("10.0.0.2\0", 9));
    EXPECT_EQ(next_answer(), std::string("2\0\0\0\0\0\0\0\0", 9));
    EXPECT_EQ(next_answer(), std::string("up_resp\0\0", 9));
    EXPECT_GT(testsupport::wait_timeout_ms(*service_), 500);
    const auto later = std::chrono::steady_clock::now();
    EXPECT_EQ(receive(), "4 datagrams refused from hosts not allowed (last from 127.0.0.1:" +
                             std::to_string(peer_.port()) + ")\n");
    EXPECT_GT(std::chrono::steady_clock::now() - later, milliseconds(500));
    EXPECT_FALSE(answers_.receive(milliseconds(30)));
    const net::Peer_Counters counts = service_->counters();
    EXPECT_EQ(counts.datagrams_refused, 7U);
    EXPECT_EQ(counts.vectors_received, 1U);
    EXPECT_EQ(counts.updates_answered, 1U);
    // One more, told at the end whatever the second says.
    peer_.send(port_, z("last"));
    ASSERT_TRUE(
        testsupport::wait_for_data(*service_, static_cast<int>(testsupport::patient().count())));
    service_->recieve_data();
    Capture out(1);
    service_->finish();
    EXPECT_EQ(out.text(), "1 datagram refused from hosts not allowed (last from 127.0.0.1:" +
                              std::to_string(peer_.port()) + ")\n");
}

// Answers to the asker's own address, at the port given.
class ServiceSenderAnswer : public Service {
  protected:
    Peer_Settings settings() const override {
        Peer_Settings settings = Service::settings();
        std::string error;
        EXPECT_TRUE(net::parse_answer_to("sender:" + std::to_string(answers_.port()),
                                         settings.answer_to, error))
            << error;
        return settings;
    }
    LoopbackUdp answers_{0, false, 2};
};

TEST_F(ServiceSenderAnswer, AnUpdateIsAnsweredAtItsSendersAddress) {
    const LoopbackUdp asker(0, false, 2);
    asker.send_vector(port_, z("a"), z("b"), z("update"));
    receive();
    const auto got = answers_.receive(testsupport::patient());
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, std::string("a\0\0\0\0\0\0\0\0", 9));
}

// With a shared key, only vectors sealed with it, fresh and not seen before
// are taken, whatever else comes; the rest is counted by why, and told.
TEST(ServiceKeyed, OnlySealedFreshVectorsAreTakenAndTheRestCountedByWhy) {
    ASSERT_TRUE(net::start_sodium());
    std::array<unsigned char, wire::kKeyBytes> bytes{};
    bytes.fill(3);
    std::shared_ptr<const net::Shared_Key> key = net::Shared_Key::of(bytes.data());
    bytes.fill(4);
    const auto wrong = net::Shared_Key::of(bytes.data());
    const LoopbackUdp answers;
    const LoopbackUdp peer;
    const int port = testsupport::free_udp_port();
    testsupport::Text_Events events;
    Peer_Settings settings;
    settings.window = milliseconds(1000);
    settings.answer_to.endpoint = settings.answer_to.endpoint.with_port(answers.port());
    settings.key = key;
    UDP_Server_Service service(port, events, "127.0.0.1", 9, settings);
    const auto to = static_cast<std::uint16_t>(port);
    const auto sealed = [](const net::Shared_Key& with, std::uint64_t counter, std::int64_t off_s,
                           const std::string& keyword) {
        const net::Trailer trailer{77, counter,
                                   net::now_us() + static_cast<std::uint64_t>(off_s * 1000000)};
        const net::Trailer_Bytes t = net::seal(with, trailer, {z("a"), z("1"), z(keyword)});
        return z(keyword) + std::string(reinterpret_cast<const char*>(t.data()), t.size());
    };
    const std::string good = sealed(*key, 9000, 0, "update");
    std::string flipped = sealed(*key, 9001, 0, "hello");
    flipped[0] ^= 0x01;
    std::string shown;
    {
        Capture out(1);
        // What waits is served now and then, so that a receive queue of the
        // system's default size holds it.
        const auto serve = [&service] {
            while (testsupport::wait_for_data(service, 0)) {
                EXPECT_EQ(service.recieve_data(), 1);  // the stale quit is never obeyed
            }
        };
        peer.send_vector(to, z("a"), z("1"), good);         // taken, answered
        peer.send_vector(to, z("a"), z("1"), z("update"));  // no trailer
        peer.send_vector(to, z("a"), z("1"), flipped);      // a bit of a text
        peer.send_vector(to, z("a"), z("1"), sealed(*wrong, 9002, 0, "update"));
        for (int i = 0; i < 1001; ++i) {
            peer.send_vector(to, z("a"), z("1"), good);  // replayed, once and a thousand times
            if (i % 50 == 49) {
                serve();
            }
        }
        peer.send_vector(to, z("a"), z("1"), sealed(*key, 100, 0, "update"));   // 8900 behind
        peer.send_vector(to, z("a"), z("1"), sealed(*key, 9003, 31, "quit"));   // 31 s off
        peer.send_vector(to, z("a"), z("1"), sealed(*key, 9004, 0, "update"));  // answered
        const auto end = std::chrono::steady_clock::now() + testsupport::patient();
        while (service.counters().updates_answered < 2 && std::chrono::steady_clock::now() < end) {
            testsupport::wait_for_data(service, 100);
            EXPECT_EQ(service.recieve_data(), 1);
        }
        service.finish();
        shown = out.text();
    }
    const net::Peer_Counters counts = service.counters();
    EXPECT_EQ(counts.vectors_received, 2U);
    EXPECT_EQ(counts.updates_answered, 2U);
    EXPECT_EQ(counts.vectors_not_authenticated, 3U);
    EXPECT_EQ(counts.vectors_replayed, 1002U);
    EXPECT_EQ(counts.vectors_stale, 1U);
    EXPECT_EQ(testsupport::told_count(shown, " refused: not authenticated"), 3);
    EXPECT_EQ(testsupport::told_count(shown, " refused: replayed"), 1002);
    EXPECT_NE(shown.find("1 vector refused: stale, clock off by more than 30 s (last from "
                         "127.0.0.1:" +
                         std::to_string(peer.port()) + ")\n"),
              std::string::npos)
        << shown;
    EXPECT_EQ(shown.find("quit"), std::string::npos);
    // The answers are sealed too: their trailer opens under the key.
    for (int i = 0; i < 2; ++i) {
        std::array<std::string, 3> answer;
        for (std::string& datagram : answer) {
            const auto got = answers.receive(testsupport::patient());
            ASSERT_TRUE(got);
            datagram = got->bytes;
        }
        EXPECT_EQ(answer[2].size(), wire::kAnswerLength + wire::kTrailerBytes);
        EXPECT_TRUE(net::open(*key, answer[0], answer[1], answer[2]));
    }
}

// The same on either family: a sender on IPv4 or IPv6 loopback.
class ServiceFamily : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        if (GetParam() == AF_INET6 && !testsupport::peer_has_ipv6()) {
            GTEST_SKIP() << "this machine has no IPv6";
        }
    }
    bool v6() const { return GetParam() == AF_INET6; }
    std::string loopback() const { return v6() ? "[::1]" : "127.0.0.1"; }

    // A service on a port of its own with `settings`, serving until `done`.
    static std::string serve(UDP_Server_Service& service, const std::function<bool()>& done) {
        Capture out(1);
        const auto end = std::chrono::steady_clock::now() + testsupport::patient();
        while (!done() && std::chrono::steady_clock::now() < end) {
            const int timeout = testsupport::wait_timeout_ms(service);
            testsupport::wait_for_data(service, timeout < 0 ? 100 : timeout);
            service.recieve_data();
        }
        return out.text();
    }
    static Peer_Settings with(const std::string& answer_to, const std::string& allow = "") {
        Peer_Settings settings;
        settings.window = milliseconds(1000);
        std::string error;
        EXPECT_TRUE(net::parse_answer_to(answer_to, settings.answer_to, error)) << error;
        net::Network network;
        if (!allow.empty()) {
            EXPECT_TRUE(net::parse_network(allow, network, error)) << error;
            settings.allow.push_back(network);
        }
        return settings;
    }
};

// An update is answered over the family it came on: at the sender's own
// address, or at an endpoint of that family.
TEST_P(ServiceFamily, AnUpdateIsAnsweredOverTheFamilyItCameOn) {
    for (const bool to_sender : {true, false}) {
        const LoopbackUdp answers(0, false, 1, GetParam());
        const LoopbackUdp peer(0, false, 1, GetParam());
        const int port = testsupport::free_udp_port();
        testsupport::Text_Events events;
        const std::string to =
            (to_sender ? std::string("sender") : loopback()) + ":" + std::to_string(answers.port());
        UDP_Server_Service service(port, events, "127.0.0.1", 9, with(to));
        peer.send_vector(static_cast<std::uint16_t>(port), z("a"), z("b"), z("update"));
        const std::string shown =
            serve(service, [&service] { return service.counters().vectors_received > 0; });
        EXPECT_EQ(shown.substr(0, shown.find("Recieved")), printout("a", "b", "update")) << to;
        for (const std::string& expected :
             {std::string("a\0\0\0\0\0\0\0\0", 9), std::string("b\0\0\0\0\0\0\0\0", 9),
              std::string("up_resp\0\0", 9)}) {
            const auto got = answers.receive(testsupport::patient());
            ASSERT_TRUE(got) << to;
            EXPECT_EQ(got->bytes, expected) << to;
        }
        EXPECT_EQ(service.counters().updates_answered, 1U) << to;
    }
}

// Only the allowed host's family and address are heard: the other
// family's loopback is refused, counted and told exactly.
TEST_P(ServiceFamily, OnlyTheAllowedLoopbackIsHeard) {
    if (!testsupport::peer_has_ipv6()) {
        GTEST_SKIP() << "this machine has no IPv6";
    }
    const LoopbackUdp allowed(0, false, 1, GetParam());
    const LoopbackUdp other(0, false, 1, v6() ? AF_INET : AF_INET6);
    const int port = testsupport::free_udp_port();
    testsupport::Text_Events events;
    UDP_Server_Service service(port, events, "127.0.0.1", 9,
                               with("127.0.0.1:9", v6() ? "::1" : "127.0.0.1"));
    other.send_vector(static_cast<std::uint16_t>(port), z("x"), z("y"), z("quit"));
    allowed.send_vector(static_cast<std::uint16_t>(port), z("a"), z("b"), z("hello"));
    const std::string shown =
        serve(service, [&service] { return service.counters().vectors_received > 0; });
    EXPECT_EQ(shown, printout("a", "b", "hello") +
                         "3 datagrams refused from hosts not allowed (last from " +
                         (v6() ? std::string("127.0.0.1:") : std::string("[::1]:")) +
                         std::to_string(other.port()) + ")\n");
    EXPECT_EQ(service.counters().datagrams_refused, 3U);
}

// Senders of both families whose datagrams interleave one by one each make
// their own vectors.
TEST_P(ServiceFamily, SendersOfBothFamiliesInterleavedKeepTheirOwnVectors) {
    if (!testsupport::peer_has_ipv6()) {
        GTEST_SKIP() << "this machine has no IPv6";
    }
    const LoopbackUdp four(0, false, 1, AF_INET);
    const LoopbackUdp six(0, false, 1, AF_INET6);
    const int port = testsupport::free_udp_port();
    testsupport::Text_Events events;
    UDP_Server_Service service(port, events, "127.0.0.1", 9, with("127.0.0.1:9"));
    const auto to = static_cast<std::uint16_t>(port);
    for (const char* slot : {"1", "2", "3"}) {
        (v6() ? six : four).send(to, z(std::string("first") + slot));
        (v6() ? four : six).send(to, z(std::string("second") + slot));
    }
    const std::string shown =
        serve(service, [&service] { return service.counters().vectors_received > 1; });
    EXPECT_NE(shown.find(printout("first1", "first2", "first3")), std::string::npos) << shown;
    EXPECT_NE(shown.find(printout("second1", "second2", "second3")), std::string::npos) << shown;
    EXPECT_EQ(service.counters().incomplete_vectors, 0U);
}

// A destination of either family, its address as typed: the vector goes
// there, its first slot this machine's address on the way (no brackets).
TEST_P(ServiceFamily, SendsToADestinationOfEitherFamily) {
    const LoopbackUdp other(0, false, 1, GetParam());
    const int port = testsupport::free_udp_port();
    testsupport::Text_Events events;
    const std::string address = v6() ? "::1" : "127.0.0.1";
    // Captured too: what was sent is in the file from the socket it left by.
    char file[] = "/tmp/lanlink-sent-XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    Peer_Settings settings = with("127.0.0.1:9");
    settings.capture_file = file;
    auto service =
        std::make_unique<UDP_Server_Service>(port, events, address, other.port(), settings);
    Capture out(1);
    EXPECT_EQ(service->send_message("hi"), 1);
    std::uint16_t from_port = 0;
    for (const std::string& expected : {z(address), z(std::to_string(port)), z("hi")}) {
        const auto got = other.receive(testsupport::patient());
        ASSERT_TRUE(got);
        EXPECT_EQ(got->bytes, expected);
        from_port = got->from_port;
    }
    EXPECT_EQ(out.text(),
              "Sent \"hi\" to " + address + " on port " + std::to_string(other.port()) + "\n");
    // And one that comes in: to the address it came to, on the listen port.
    other.send(static_cast<std::uint16_t>(port), z("in"));
    ASSERT_TRUE(
        testsupport::wait_for_data(*service, static_cast<int>(testsupport::patient().count())));
    service->recieve_data();
    service.reset();
    const testsupport::Capture_File captured = testsupport::read_capture(file);
    unlink(file);
    ASSERT_EQ(captured.packets.size(), 4U) << captured.error;
    const std::string bracketed = v6() ? "[" + address + "]" : address;
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(captured.packets[i].from, bracketed + ":" + std::to_string(from_port));
        EXPECT_EQ(captured.packets[i].to, bracketed + ":" + std::to_string(other.port()));
    }
    EXPECT_EQ(captured.packets[3].to, bracketed + ":" + std::to_string(port));
    service = std::make_unique<UDP_Server_Service>(port, events, address, other.port(),
                                                   with("127.0.0.1:9"));
    // A new destination has a route of its own: the first slot follows it.
    if (!testsupport::peer_has_ipv6()) {
        return;
    }
    const LoopbackUdp next(0, false, 1, v6() ? AF_INET : AF_INET6);
    const std::string next_address = v6() ? "127.0.0.1" : "::1";
    ASSERT_EQ(service->resolve_dest_address(static_cast<int>(next.port())), 1);
    ASSERT_EQ(service->resolve_dest_address(next_address.c_str()), 1);
    EXPECT_EQ(service->send_message("again"), 1);
    const auto first = next.receive(testsupport::patient());
    ASSERT_TRUE(first);
    EXPECT_EQ(first->bytes, z(next_address));
}

INSTANTIATE_TEST_SUITE_P(Families, ServiceFamily, ::testing::Values(AF_INET, AF_INET6),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == AF_INET6 ? "IPv6" : "IPv4";
                         });

}  // namespace
