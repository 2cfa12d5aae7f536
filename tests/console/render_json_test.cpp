// Events as JSON Lines: each event one object on a line of its own that a
// parser reads back, with the names scripts rely on; a text that is not
// UTF-8 comes as base64 of its bytes.
#include "render_json.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sodium.h>
#include <stdlib.h>
#include <time.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "json_lines.h"
#include "render_text.h"

namespace {

struct Out final : console::Text_Out {
    bool full = false;  // notices find no room
    std::string text;
    bool put(int fd, std::string_view t, console::Kind kind) override {
        if (fd != 1 || (full && kind == console::Kind::kNotice)) {
            return false;
        }
        text += t;
        return true;
    }
    void finish() override {}
    std::uint64_t not_shown() const override { return 0; }
};

net::Endpoint from(std::uint16_t port) {
    return net::Endpoint::ipv4(htonl(0x7f000001), htons(port));
}

std::string member(const testsupport::Json_Line& line, const std::string& name) {
    const auto found = line.find(name);
    return found == line.end() ? "(none)" : found->second;
}

// A whole vector from 127.0.0.1:4000 with these three texts.
struct Vector {
    std::string slots[3];
    net::Vector_Event event;
    Vector(std::string a, std::string b, std::string c)
        : slots{std::move(a), std::move(b), std::move(c)} {
        event.from = from(4000);
        event.filled = 3;
        event.arrived = {1796685062, 123456789};
        for (int i = 0; i < 3; ++i) {
            event.bytes.at(i) = reinterpret_cast<const unsigned char*>(slots[i].data());
            event.len.at(i) = event.size.at(i) = slots[i].size();
        }
    }
};

TEST(JsonRenderer, EveryEventIsOneLineWithItsNames) {
    Vector update("10.0.0.1", "4555", "update");
    update.event.update = true;
    update.event.answered_to = from(4556);
    update.event.answer_sent = true;
    Vector quit("a", "b", "quit");
    quit.event.quit = true;
    Vector incomplete("10.0.0.1", "", "");
    incomplete.event.filled = 1;
    net::Peer_Counters counts;
    counts.vectors_received = 7;
    counts.datagrams_cut = 2;
    const net::Destination dest{"::1", 4555};
    struct Case {
        std::function<void(console::Json_Renderer&)> fire;
        std::vector<std::vector<std::string>> lines;  // per line: event, then name=value pairs
    };
    const Case cases[] = {
        {[&](auto& r) { r.vector(update.event); },
         {{"vector", "time=2026-12-07T23:11:02.123456789Z", "from=127.0.0.1:4000", "ip=10.0.0.1",
           "port=4555", "msg=update", "authenticated=(none)"},
          {"answer", "to=127.0.0.1:4556", "for=127.0.0.1:4000", "sent=true"}}},
        {[&](auto& r) { r.vector(quit.event); },
         {{"vector", "msg=quit"}, {"quit", "from=127.0.0.1:4000"}}},
        {[&](auto& r) { r.vector(incomplete.event); },
         {{"incomplete", "ip=10.0.0.1", "port=(none)", "msg=(none)"}}},
        {[&](auto& r) { r.dropped(3); }, {{"dropped", "count=3"}}},
        {[&](auto& r) { r.refused(2, from(9)); },
         {{"refused", "count=2", "reason=not allowed", "last_from=127.0.0.1:9"}}},
        {[&](auto& r) { r.vectors_refused(net::Refusal::kReplayed, 4, from(9), 30); },
         {{"refused", "count=4", "reason=replayed", "max_skew=(none)"}}},
        {[&](auto& r) { r.vectors_refused(net::Refusal::kStale, 1, from(9), 30); },
         {{"refused", "reason=stale", "max_skew=30"}}},
        {[&](auto& r) { r.cut(1, from(9), 2000); }, {{"cut", "count=1", "size=2000"}}},
        {[&](auto& r) { r.left_unread(5); }, {{"left_unread", "count=5"}}},
        {[&](auto& r) { r.sent("hi", dest); }, {{"sent", "to=[::1]:4555", "msg=hi", "ok=true"}}},
        {[&](auto& r) {
             r.send_failed("hi", {"127.0.0.1", 9});
         },
         {{"sent", "to=127.0.0.1:9", "ok=false"}}},
        {[&](auto& r) { r.destination_resolved(dest); }, {{"destination", "ip=::1", "port=4555"}}},
        {[&](auto& r) { r.destination_shown(dest); }, {{"destination", "ip=::1"}}},
        {[&](auto& r) { r.stats(counts, 6); },
         {{"stats", "vectors_received=7", "datagrams_cut=2", "printouts_not_shown=6",
           "vectors_stale=(none)"}}},
        {[&](auto& r) { r.unknown_command("zap"); },
         {{"error", "message=Unknown command \"zap\": type help for the commands."}}},
        {[&](auto& r) { r.end(counts, 0, 1, 15); }, {{"end", "vectors_received=7", "signal=15"}}},
        {[&](auto& r) { r.end(counts, 0, 0, 0); }, {{"end", "signal=(none)"}}},
    };
    for (const Case& c : cases) {
        Out out;
        console::Json_Renderer renderer(out);
        c.fire(renderer);
        const auto lines = testsupport::json_lines(out.text);
        ASSERT_EQ(lines.size(), c.lines.size()) << out.text;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(member(lines[i], "event"), c.lines[i][0]) << out.text;
            for (std::size_t k = 1; k < c.lines[i].size(); ++k) {
                const std::string& pair = c.lines[i][k];
                const std::size_t eq = pair.find('=');
                EXPECT_EQ(member(lines[i], pair.substr(0, eq)), pair.substr(eq + 1)) << out.text;
            }
        }
    }
}

// Valid UTF-8, control characters included, is a string that parses back
// to the same bytes; anything else is base64 of the bytes, under its own name.
TEST(JsonRenderer, TextThatIsNotUtf8ComesAsBase64) {
    ASSERT_GE(sodium_init(), 0);
    const std::string controls("tab\t\"q\"\\ \x01 \xc3\xa9");
    const std::string latin1("caf\xe9\0x", 6);
    Vector vector(controls, "4555", latin1);
    Out out;
    console::Json_Renderer renderer(out);
    renderer.vector(vector.event);
    const auto lines = testsupport::json_lines(out.text);
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(member(lines[0], "ip"), controls);
    EXPECT_EQ(member(lines[0], "msg"), "(none)");
    // The keyword's text ends at its zero.
    EXPECT_EQ(member(lines[0], "msg_base64"), "Y2Fm6Q==");
}

// The time is the one -v shows, to the millisecond, in UTC with all its
// nanoseconds.
TEST(JsonRenderer, TheTimeIsVerboseTextsTime) {
    setenv("TZ", "UTC", 1);
    tzset();
    Vector vector("a", "b", "c");
    vector.event.arrived = {1796685062, 999999999};
    Out text;
    console::Text_Renderer(text, {false, true}).vector(vector.event);
    Out json;
    console::Json_Renderer(json).vector(vector.event);
    const auto lines = testsupport::json_lines(json.text);
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(member(lines[0], "time"), "2026-12-07T23:11:02.999999999Z");
    EXPECT_NE(text.text.find(" at 23:11:02.999\n"), std::string::npos) << text.text;
}

// Drops told when there is no room for them are owed, added up and told
// at the next chance, or at the end whatever the room.
TEST(JsonRenderer, DropsOwedAddUp) {
    Out out;
    console::Json_Renderer renderer(out);
    out.full = true;
    renderer.dropped(3);
    renderer.dropped(4);
    EXPECT_EQ(out.text, "");
    renderer.closing();
    EXPECT_EQ(out.text, "{\"event\":\"dropped\",\"count\":7}\n");
    EXPECT_EQ(console::Json_Renderer::not_shown_line(2, true),
              "{\"event\":\"not_shown\",\"count\":2,\"reason\":\"typing\"}\n");
}

}  // namespace
