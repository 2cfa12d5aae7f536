// What whole vectors make the peer do, driven without sockets or clocks:
// arrivals at times of the test's own, a sink and a listener that record.
#include "peer_core.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using wire::Clock;

const Clock::time_point t0{std::chrono::seconds(1000)};

// Records what went to the wire, "to=PORT slot|slot|slot"; `fails` makes
// every send fail.
struct Wire final : net::Datagram_Sink {
    bool fails = false;
    std::vector<std::string> sent;
    bool send_vector(const net::Endpoint& to, const net::Vector_Bytes& datagrams) override {
        std::string line = to.text() + " ";
        for (const auto& d : datagrams) {
            line += std::string(d) + "|";
        }
        sent.push_back(line);
        return !fails;
    }
};

// Records vectors and drops as "TEXT/TEXT/TEXT" plus what was made of them
// and the length each cut datagram was sent with.
struct Events final : net::Peer_Events {
    std::vector<std::string> told;
    void vector(const net::Vector_Event& v) override {
        told.push_back(std::string(v.text(0)) + "/" + std::string(v.text(1)) + "/" +
                       std::string(v.text(2)) + (v.quit ? " quit" : "") +
                       (v.update ? (v.answer_sent ? " answered" : " unanswered") : ""));
        for (std::size_t i = 0; i < v.size.size(); ++i) {
            told.back() +=
                v.size.at(i) > v.len.at(i) ? " (" + std::to_string(v.size.at(i)) + ")" : "";
        }
    }
    void dropped(std::uint64_t count) override {
        told.push_back("dropped " + std::to_string(count));
    }
    void step_begun(net::Step, int, bool) override {}
    void step_done(net::Step) override {}
    void step_failed(net::Step, std::string_view, std::string_view) override {}
    void shutdown_step(net::Shutdown_Step) override {}
    void receive_queue(int, int) override {}
    void refused(std::uint64_t, const net::Endpoint&) override {}
    void cut(std::uint64_t, const net::Endpoint&, std::size_t) override {}
    void set_aside(std::uint64_t, const net::Endpoint&) override {}
    void left_unread(std::uint64_t) override {}
    void sent(std::string_view, const net::Destination&) override {}
    void send_failed(std::string_view, const net::Destination&) override {}
    void send_too_long(std::string_view, std::size_t, bool) override {}
    void vectors_refused(net::Refusal, std::uint64_t, const net::Endpoint&, int) override {}
    void capture_failed(std::string_view, int) override {}
    void not_captured(std::uint64_t, bool) override {}
    void destination_changing(const net::Destination&, bool) override {}
    void destination_resolved(const net::Destination&) override {}
    void destination_failed(const net::Destination&, std::string_view) override {}
    void port_out_of_range(long long, const net::Destination&) override {}
    void destination_shown(const net::Destination&) override {}
    void update_sending(std::uint32_t, std::uint16_t) override {}
    void update_unresolved() override {}
};

struct Arrival {
    std::uint16_t port;  // the sender's, on 127.0.0.1
    std::string text;    // with its zero
    Clock::duration at;  // after t0
    std::uint32_t drops = 0;
    std::size_t size = 0;  // as sent, when more than `text` came
};

struct Case {
    const char* name;
    std::vector<Arrival> arrivals;
    Clock::duration handled_at;  // after t0
    std::vector<std::string> told;
    std::vector<std::string> sent;
    bool sender = false;  // answers go to the asker's address
    bool wire_fails = false;
};

std::string z(const char* text) {
    return std::string(text, std::strlen(text) + 1);
}

TEST(PeerCore, VectorsAreToldAnsweredAfterTheirPauseAndAQuitEndsThePeer) {
    using namespace std::string_literals;
    const std::string answer_text =
        "127.0.0.1:4556 a\0\0\0\0\0\0\0\0|b\0\0\0\0\0\0\0\0|up_resp\0\0|"s;
    const std::vector<Case> cases = {
        {"an update waits 1 ms after its last datagram, not its first",
         {{5, z("a"), {}}, {5, z("b"), milliseconds(10)}, {5, z("update"), milliseconds(20)}},
         milliseconds(20) + microseconds(999),
         {},
         {}},
        {"and is answered once that is over",
         {{5, z("a"), {}}, {5, z("b"), milliseconds(10)}, {5, z("update"), milliseconds(20)}},
         milliseconds(21),
         {"a/b/update answered"},
         {answer_text}},
        {"a waiting update holds up the vectors after it",
         {{5, z("a"), {}},
          {5, z("b"), {}},
          {5, z("update"), {}},
          {6, z("x"), {}},
          {6, z("y"), {}},
          {6, z("hello"), {}}},
         microseconds(500),
         {},
         {}},
        {"a quit ends the peer and leaves what came after it",
         {{5, z("a"), {}},
          {5, z("b"), {}},
          {5, z("quit"), {}},
          {6, z("x"), {}},
          {6, z("y"), {}},
          {6, z("hello"), {}}},
         {},
         {"a/b/quit quit"},
         {}},
        {"an incomplete vector is told, never obeyed",
         {{5, z("a"), {}},
          {5, z("quit"), {}},
          {5, z("a"), milliseconds(60)},
          {5, z("b"), milliseconds(60)},
          {5, z("c"), milliseconds(60)}},
         milliseconds(60),
         {"a/quit/", "a/b/c"},
         {}},
        {"drops are told in their place",
         {{5, z("a"), {}}, {5, z("b"), {}}, {5, z("c"), {}}, {6, z("x"), {}, 3}},
         {},
         {"a/b/c", "dropped 3"},
         {}},
        {"an answer that could not go is told unanswered",
         {{5, z("a"), {}}, {5, z("b"), {}}, {5, z("update"), {}}},
         milliseconds(1),
         {"a/b/update unanswered"},
         {answer_text},
         false,
         true},
        {"to the sender: its address, the answer port",
         {{5, z("a"), {}}, {5, z("b"), {}}, {5, z("update"), {}}},
         milliseconds(1),
         {"a/b/update answered"},
         {"127.0.0.1:4557" + answer_text.substr(answer_text.find(' '))},
         true},
        {"a cut datagram keeps the length it was sent with",
         {{5, z("a"), {}}, {5, z("b"), {}, 0, 2000}, {5, z("c"), {}}},
         {},
         {"a/b/c (2000)"},
         {}},
    };
    for (const Case& c : cases) {
        wire::VectorAssembly assembly(milliseconds(50), 16);
        for (const Arrival& a : c.arrivals) {
            wire::Arrival arrival;
            arrival.from = net::Endpoint::ipv4(htonl(0x7f000001), htons(a.port));
            arrival.bytes = reinterpret_cast<const unsigned char*>(a.text.data());
            arrival.len = a.text.size();
            arrival.drops = a.drops;
            arrival.size = a.size;
            arrival.at = t0 + a.at;
            assembly.add(arrival);
        }
        assembly.expire(t0 + c.handled_at);
        Wire wire;
        wire.fails = c.wire_fails;
        Events events;
        net::Answer_To answer_to = net::default_answer_to();
        if (c.sender) {
            answer_to.sender = true;
            answer_to.endpoint = answer_to.endpoint.with_port(4557);
        }
        net::Peer_Core core(answer_to, wire, events);
        core.handle(assembly, t0 + c.handled_at);
        EXPECT_EQ(events.told, c.told) << c.name;
        EXPECT_EQ(wire.sent, c.sent) << c.name;
        const std::uint64_t answered = c.wire_fails ? 0 : c.sent.size();
        EXPECT_EQ(core.counters().updates_answered, answered) << c.name;
    }
}

}  // namespace
