// Events as the program has always shown them: the same bytes, to the same
// one of standard output and standard error.
#ifndef LANLINK_CONSOLE_RENDER_TEXT_H
#define LANLINK_CONSOLE_RENDER_TEXT_H

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "output.h"
#include "renderer.h"

namespace console {

struct Text_Settings {
    // No progress lines at start and end, and no account of each answer.
    bool quiet = false;
    // Each printout ends with where the vector came from, and when.
    bool verbose = false;
};

// The commands' help, as `help` shows it.
const char* help_text();

class Text_Renderer final : public Renderer {
  public:
    Text_Renderer(Text_Out& out, Text_Settings settings);

    void step_begun(net::Step step, int port, bool default_port) override;
    void step_done(net::Step step) override;
    void step_failed(net::Step step, std::string_view call, std::string_view reason) override;
    void shutdown_step(net::Shutdown_Step step) override;
    void receive_queue(int bytes, int wanted) override;

    void vector(const net::Vector_Event& vector) override;
    void dropped(std::uint64_t count) override;
    void refused(std::uint64_t count, const net::Endpoint& last_from) override;
    void cut(std::uint64_t count, const net::Endpoint& last_from, std::size_t last_size) override;
    void set_aside(std::uint64_t count, const net::Endpoint& last_from) override;
    void left_unread(std::uint64_t count) override;
    void vectors_refused(net::Refusal why, std::uint64_t count, const net::Endpoint& last_from,
                         int max_skew_s) override;
    void capture_failed(std::string_view path, int error) override;
    void not_captured(std::uint64_t count, bool stopped) override;

    void sent(std::string_view word, const net::Destination& to) override;
    void send_failed(std::string_view word, const net::Destination& to) override;
    void send_too_long(std::string_view word, std::size_t longest, bool keyed) override;

    void destination_changing(const net::Destination& to, bool port_given) override;
    void destination_resolved(const net::Destination& to) override;
    void destination_failed(const net::Destination& to, std::string_view reason) override;
    void port_out_of_range(long long port, const net::Destination& stays) override;
    void destination_shown(const net::Destination& now) override;

    void update_sending(std::uint32_t host, std::uint16_t port) override;
    void update_unresolved() override;

    void arguments(std::string_view other_ip, std::string_view other_port,
                   std::string_view listen_port, bool ask) override;
    void usage() override;
    void clear() override;
    void prompt(Prompt prompt) override;
    void help() override;
    void stats(const net::Peer_Counters& counters, std::uint64_t not_shown) override;
    void unknown_command(std::string_view word) override;
    void port_not_a_number(std::string_view text, const net::Destination& stays) override;
    void destination_fatal() override;
    void client_quit(std::string_view word) override;
    void closing() override;
    void commands_failed(int count) override;
    void terminating() override;
    void output_failed(int error) override;
    void wait_failed(std::string_view call, int error) override;
    void end(const net::Peer_Counters& /*counters*/, std::uint64_t /*not_shown*/, int /*status*/,
             int /*signal*/) override {}

  private:
    void say(std::string_view text) { out_.put(1, text, Kind::kConsole); }
    void progress(std::string_view text);
    void error(std::string_view text) { out_.put(2, text, Kind::kConsole); }
    // The drop and refusal lines still owed: as notices (kept for later when
    // there is no room), or at the end always.
    void tell_owed(bool at_end);

    Text_Out& out_;
    Text_Settings settings_;
    std::string printout_;  // its room is kept from one vector to the next
    std::uint64_t drops_owed_ = 0;
    std::uint64_t refused_owed_ = 0;
    net::Endpoint refused_last_;
    struct Owed_Refusal {
        std::uint64_t count = 0;
        net::Endpoint last_from;
        int max_skew_s = 0;
    };
    std::array<Owed_Refusal, 3> vectors_owed_{};  // by net::Refusal
    std::uint64_t cut_owed_ = 0;
    std::uint64_t not_captured_owed_ = 0;
    bool capture_stopped_ = false;
    net::Endpoint cut_last_;
    std::size_t cut_last_size_ = 0;
    std::uint64_t set_aside_owed_ = 0;
    net::Endpoint set_aside_last_;
};

}  // namespace console

#endif  // LANLINK_CONSOLE_RENDER_TEXT_H
