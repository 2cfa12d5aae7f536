// Events as JSON Lines, for scripts: one object a line on standard output,
// and nothing else there. Start-up failures and usage errors stay text on
// standard error, as the text renderer writes them.
#ifndef LANLINK_CONSOLE_RENDER_JSON_H
#define LANLINK_CONSOLE_RENDER_JSON_H

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "output.h"
#include "render_text.h"
#include "renderer.h"

namespace console {

class Json_Renderer final : public Renderer {
  public:
    explicit Json_Renderer(Text_Out& out);

    void step_begun(net::Step /*step*/, int /*port*/, bool /*default_port*/) override {}
    void step_done(net::Step /*step*/) override {}
    void step_failed(net::Step step, std::string_view call, std::string_view reason) override;
    void shutdown_step(net::Shutdown_Step /*step*/) override {}
    void receive_queue(int /*bytes*/, int /*wanted*/) override {}

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

    void destination_changing(const net::Destination& /*to*/, bool /*port_given*/) override {}
    void destination_resolved(const net::Destination& to) override { destination_shown(to); }
    void destination_failed(const net::Destination& to, std::string_view reason) override;
    void port_out_of_range(long long port, const net::Destination& stays) override;
    void destination_shown(const net::Destination& now) override;

    void update_sending(std::uint32_t /*host*/, std::uint16_t /*port*/) override {}
    void update_unresolved() override;

    void arguments(std::string_view /*other_ip*/, std::string_view /*other_port*/,
                   std::string_view /*listen_port*/, bool /*ask*/) override {}
    void usage() override { text_.usage(); }
    void clear() override {}
    void prompt(Prompt /*prompt*/) override {}
    void help() override;
    void stats(const net::Peer_Counters& counters, std::uint64_t not_shown) override;
    void unknown_command(std::string_view word) override;
    void port_not_a_number(std::string_view text, const net::Destination& stays) override;
    void destination_fatal() override;
    void client_quit(std::string_view /*word*/) override {}
    void closing() override;
    void commands_failed(int count) override;
    void terminating() override {}
    void output_failed(int error) override { text_.output_failed(error); }
    void wait_failed(std::string_view call, int error) override;
    void end(const net::Peer_Counters& counters, std::uint64_t not_shown, int status,
             int signal) override;

    // The line that takes the place of printouts not shown.
    static std::string not_shown_line(std::uint64_t count, bool while_typing);

  private:
    using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

    // Starts an object for `event`; put() ends it and hands the line over.
    Writer& begin(const char* event);
    bool put(Kind kind);
    void error(std::string_view message);
    void counters(const net::Peer_Counters& counts, std::uint64_t not_shown);
    // A slot's text as "NAME" when it is UTF-8, as "NAME_base64" when not.
    void slot(const char* name, std::string_view text);
    void tell_owed(bool at_end);

    Text_Out& out_;
    Text_Renderer text_;  // for what stays text on standard error
    rapidjson::StringBuffer buffer_;
    Writer writer_;
    std::uint64_t drops_owed_ = 0;
};

}  // namespace console

#endif  // LANLINK_CONSOLE_RENDER_JSON_H
