#include "render_json.h"

#include <sodium.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "slot_display.h"

namespace console {

namespace {

// RFC 3339 in UTC, to the nanosecond: 2026-12-07T23:11:02.123456789Z.
std::string rfc3339(const timespec& when) {
    tm utc{};
    const time_t seconds = when.tv_sec;
    gmtime_r(&seconds, &utc);
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%09ldZ", static_cast<long>(when.tv_nsec));
    return text;
}

// The destination as an endpoint: its address text as given, bracketed
// when it is an IPv6 one.
std::string endpoint_of(const net::Destination& to) {
    const bool v6 = to.ip.find(':') != std::string::npos;
    return (v6 ? "[" + to.ip + "]" : to.ip) + ":" + std::to_string(to.port);
}

const char* refusal_reason(net::Refusal why) {
    switch (why) {
        case net::Refusal::kNotAuthenticated:
            return "not authenticated";
        case net::Refusal::kReplayed:
            return "replayed";
        case net::Refusal::kStale:
            break;
    }
    return "stale";
}

// The text renderer's wording of a line, for an "error" event's message.
class Captured final : public Text_Out {
  public:
    bool put(int /*fd*/, std::string_view text, Kind /*kind*/) override {
        text_.append(text);
        return true;
    }
    void finish() override {}
    std::uint64_t not_shown() const override { return 0; }
    // What was put, without its last line end.
    std::string take() {
        std::string text = std::move(text_);
        text_.clear();
        if (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        return text;
    }

  private:
    std::string text_;
};

}  // namespace

Json_Renderer::Json_Renderer(Text_Out& out) : out_(out), text_(out, {true, false}) {}

Json_Renderer::Writer& Json_Renderer::begin(const char* event) {
    buffer_.Clear();
    writer_.Reset(buffer_);
    writer_.StartObject();
    writer_.Key("event");
    writer_.String(event);
    return writer_;
}

bool Json_Renderer::put(Kind kind) {
    writer_.EndObject();
    buffer_.Put('\n');
    return out_.put(1, std::string_view(buffer_.GetString(), buffer_.GetSize()), kind);
}

void Json_Renderer::slot(const char* name, std::string_view text) {
    if (text::valid_utf8(text)) {
        writer_.Key(name);
        writer_.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
        return;
    }
    std::vector<char> encoded(
        sodium_base64_ENCODED_LEN(text.size(), sodium_base64_VARIANT_ORIGINAL));
    sodium_bin2base64(encoded.data(), encoded.size(),
                      reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    writer_.Key((std::string(name) + "_base64").c_str());
    writer_.String(encoded.data());
}

void Json_Renderer::error(std::string_view message) {
    begin("error").Key("message");
    writer_.String(message.data(), static_cast<rapidjson::SizeType>(message.size()));
    put(Kind::kConsole);
}

void Json_Renderer::step_failed(net::Step step, std::string_view call, std::string_view reason) {
    text_.step_failed(step, call, reason);  // text, on standard error
}

void Json_Renderer::vector(const net::Vector_Event& vector) {
    if (out_.discards(1)) {
        return;  // standard output is /dev/null: nothing to make
    }
    tell_owed(false);
    static constexpr const char* kSlots[] = {"ip", "port", "msg"};
    Writer& w = begin(vector.whole() ? "vector" : "incomplete");
    w.Key("time");
    w.String(rfc3339(vector.arrived).c_str());
    w.Key("from");
    w.String(vector.from.text().c_str());
    for (int i = 0; i < vector.filled; ++i) {
        slot(kSlots[i], vector.text(i));
    }
    if (vector.authenticated) {
        w.Key("authenticated");
        w.Bool(true);
    }
    w.EndObject();
    buffer_.Put('\n');
    // What the vector made the peer do follows it, in the same piece: both
    // are shown, or neither.
    if (vector.update) {
        w.Reset(buffer_);
        w.StartObject();
        w.Key("event");
        w.String("answer");
        w.Key("time");
        w.String(rfc3339(vector.arrived).c_str());
        w.Key("to");
        w.String(vector.answered_to.text().c_str());
        w.Key("for");
        w.String(vector.from.text().c_str());
        w.Key("sent");
        w.Bool(vector.answer_sent);
        w.EndObject();
        buffer_.Put('\n');
    }
    if (vector.quit) {
        w.Reset(buffer_);
        w.StartObject();
        w.Key("event");
        w.String("quit");
        w.Key("time");
        w.String(rfc3339(vector.arrived).c_str());
        w.Key("from");
        w.String(vector.from.text().c_str());
        w.EndObject();
        buffer_.Put('\n');
    }
    out_.put(1, std::string_view(buffer_.GetString(), buffer_.GetSize()),
             vector.quit ? Kind::kAnnouncement : Kind::kPrintout);
}

void Json_Renderer::dropped(std::uint64_t count) {
    drops_owed_ += count;
    tell_owed(false);
}

void Json_Renderer::tell_owed(bool at_end) {
    if (drops_owed_ == 0) {
        return;
    }
    begin("dropped").Key("count");
    writer_.Uint64(drops_owed_);
    if (put(at_end ? Kind::kAnnouncement : Kind::kNotice)) {
        drops_owed_ = 0;
    }
}

void Json_Renderer::refused(std::uint64_t count, const net::Endpoint& last_from) {
    Writer& w = begin("refused");
    w.Key("count");
    w.Uint64(count);
    w.Key("reason");
    w.String("not allowed");
    w.Key("last_from");
    w.String(last_from.text().c_str());
    put(Kind::kAnnouncement);  // once a second at most
}

void Json_Renderer::vectors_refused(net::Refusal why, std::uint64_t count,
                                    const net::Endpoint& last_from, int max_skew_s) {
    Writer& w = begin("refused");
    w.Key("count");
    w.Uint64(count);
    w.Key("reason");
    w.String(refusal_reason(why));
    w.Key("last_from");
    w.String(last_from.text().c_str());
    if (why == net::Refusal::kStale) {
        w.Key("max_skew");
        w.Int(max_skew_s);
    }
    put(Kind::kAnnouncement);  // once a second at most for each reason
}

void Json_Renderer::cut(std::uint64_t count, const net::Endpoint& last_from,
                        std::size_t last_size) {
    Writer& w = begin("cut");
    w.Key("count");
    w.Uint64(count);
    w.Key("last_from");
    w.String(last_from.text().c_str());
    w.Key("size");
    w.Uint64(last_size);
    put(Kind::kAnnouncement);  // once a second at most
}

void Json_Renderer::set_aside(std::uint64_t count, const net::Endpoint& last_from) {
    Writer& w = begin("set_aside");
    w.Key("count");
    w.Uint64(count);
    w.Key("last_from");
    w.String(last_from.text().c_str());
    put(Kind::kAnnouncement);  // once a second at most
}

void Json_Renderer::capture_failed(std::string_view path, int error_number) {
    Captured wording;
    Text_Renderer(wording, {}).capture_failed(path, error_number);
    error(wording.take());
}

void Json_Renderer::not_captured(std::uint64_t count, bool stopped) {
    Writer& w = begin("not_captured");
    w.Key("count");
    w.Uint64(count);
    w.Key("reason");
    w.String(stopped ? "capture stopped" : "capture fell behind");
    put(Kind::kAnnouncement);  // once a second at most
}

void Json_Renderer::left_unread(std::uint64_t count) {
    begin("left_unread").Key("count");
    writer_.Uint64(count);
    put(Kind::kAnnouncement);
}

std::string Json_Renderer::not_shown_line(std::uint64_t count, bool while_typing) {
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    w.StartObject();
    w.Key("event");
    w.String("not_shown");
    w.Key("count");
    w.Uint64(count);
    w.Key("reason");
    w.String(while_typing ? "typing" : "output not read");
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

void Json_Renderer::sent(std::string_view word, const net::Destination& to) {
    Writer& w = begin("sent");
    w.Key("to");
    w.String(endpoint_of(to).c_str());
    slot("msg", word);
    w.Key("ok");
    w.Bool(true);
    put(Kind::kConsole);
}

void Json_Renderer::send_failed(std::string_view word, const net::Destination& to) {
    Writer& w = begin("sent");
    w.Key("to");
    w.String(endpoint_of(to).c_str());
    slot("msg", word);
    w.Key("ok");
    w.Bool(false);
    put(Kind::kConsole);
}

void Json_Renderer::send_too_long(std::string_view word, std::size_t longest, bool keyed) {
    Captured wording;
    Text_Renderer(wording, {}).send_too_long(word, longest, keyed);
    error(wording.take());
}

void Json_Renderer::destination_failed(const net::Destination& to, std::string_view reason) {
    Captured wording;
    Text_Renderer(wording, {}).destination_failed(to, reason);
    error(wording.take());
}

void Json_Renderer::port_out_of_range(long long port, const net::Destination& stays) {
    Captured wording;
    Text_Renderer(wording, {}).port_out_of_range(port, stays);
    error(wording.take());
}

void Json_Renderer::destination_shown(const net::Destination& now) {
    Writer& w = begin("destination");
    w.Key("ip");
    w.String(now.ip.c_str());
    w.Key("port");
    w.Int(now.port);
    put(Kind::kConsole);
}

void Json_Renderer::update_unresolved() {
    error("Error re-resolving host!");
}

void Json_Renderer::help() {
    Writer& w = begin("help");
    w.Key("commands");
    w.StartArray();
    for (const char* command :
         {"set_ip", "set_port", "show_dest_info", "send", "exit", "help", "stats"}) {
        w.String(command);
    }
    w.EndArray();
    put(Kind::kConsole);
}

void Json_Renderer::counters(const net::Peer_Counters& counts, std::uint64_t not_shown) {
    const std::pair<const char*, std::uint64_t> numbers[] = {
        {"vectors_received", counts.vectors_received},
        {"incomplete_vectors", counts.incomplete_vectors},
        {"updates_answered", counts.updates_answered},
        {"vectors_sent", counts.vectors_sent},
        {"datagrams_dropped", counts.datagrams_dropped},
        {"datagrams_set_aside", counts.datagrams_set_aside},
        {"printouts_not_shown", not_shown},
        {"datagrams_refused", counts.datagrams_refused},
        {"datagrams_cut", counts.datagrams_cut},
    };
    for (const auto& [name, value] : numbers) {
        writer_.Key(name);
        writer_.Uint64(value);
    }
    if (counts.keyed) {
        const std::pair<const char*, std::uint64_t> keyed[] = {
            {"vectors_not_authenticated", counts.vectors_not_authenticated},
            {"vectors_replayed", counts.vectors_replayed},
            {"vectors_stale", counts.vectors_stale},
        };
        for (const auto& [name, value] : keyed) {
            writer_.Key(name);
            writer_.Uint64(value);
        }
    }
    if (counts.capturing) {
        writer_.Key("datagrams_captured");
        writer_.Uint64(counts.datagrams_captured);
        writer_.Key("datagrams_not_captured");
        writer_.Uint64(counts.datagrams_not_captured);
    }
}

void Json_Renderer::stats(const net::Peer_Counters& counts, std::uint64_t not_shown) {
    begin("stats");
    counters(counts, not_shown);
    put(Kind::kConsole);
}

void Json_Renderer::unknown_command(std::string_view word) {
    Captured wording;
    Text_Renderer(wording, {}).unknown_command(word);
    error(wording.take());
}

void Json_Renderer::port_not_a_number(std::string_view text, const net::Destination& stays) {
    Captured wording;
    Text_Renderer(wording, {}).port_not_a_number(text, stays);
    error(wording.take());
}

void Json_Renderer::destination_fatal() {
    error("An Error has occurred! The program must exit.");
}

void Json_Renderer::closing() {
    tell_owed(true);
}

void Json_Renderer::commands_failed(int count) {
    Captured wording;
    Text_Renderer(wording, {}).commands_failed(count);
    error(wording.take());
}

void Json_Renderer::wait_failed(std::string_view call, int error_number) {
    text_.wait_failed(call, error_number);
    error(std::string(call) + ": " + std::strerror(error_number));
}

void Json_Renderer::end(const net::Peer_Counters& counts, std::uint64_t not_shown, int status,
                        int signal) {
    Writer& w = begin("end");
    counters(counts, not_shown);
    w.Key("status");
    w.Int(status);
    if (signal != 0) {
        w.Key("signal");
        w.Int(signal);
    }
    put(Kind::kConsole);
}

}  // namespace console
