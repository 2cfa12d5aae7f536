// What the console tells, beside what the network side reports: one
// interface, one implementation per output form (text today).
#ifndef LANLINK_CONSOLE_RENDERER_H
#define LANLINK_CONSOLE_RENDERER_H

#include <cstdint>
#include <string_view>

#include "events.h"

namespace console {

enum class Prompt {
    kCommand,   // the classic prompt, before a command line
    kArgument,  // before a command's argument
    kAnswered,  // where the argument came on the command's own line
};

class Renderer : public net::Peer_Events {
  public:
    // The three arguments, and the question when `ask`.
    virtual void arguments(std::string_view other_ip, std::string_view other_port,
                           std::string_view listen_port, bool ask) = 0;
    virtual void usage() = 0;
    // Clears the screen, where there is one.
    virtual void clear() = 0;
    virtual void prompt(Prompt prompt) = 0;
    virtual void help() = 0;
    virtual void stats(const net::Peer_Counters& counters, std::uint64_t not_shown) = 0;
    virtual void unknown_command(std::string_view word) = 0;
    // set_port's word is not a whole decimal number; the destination stays.
    virtual void port_not_a_number(std::string_view text, const net::Destination& stays) = 0;
    // A change of destination failed: the program ends.
    virtual void destination_fatal() = 0;
    // The operator's "send quit": the program ends.
    virtual void client_quit(std::string_view word) = 0;
    // Before the shut-down: what is still owed is told.
    virtual void closing() = 0;
    // Commands from a pipe or a file that were refused or failed.
    virtual void commands_failed(int count) = 0;
    virtual void terminating() = 0;
    virtual void output_failed(int error) = 0;
    virtual void wait_failed(std::string_view call, int error) = 0;
    // The very end: the counts at exit, the printouts not shown, and the
    // status the program ends with (or the signal that ends it).
    virtual void end(const net::Peer_Counters& counters, std::uint64_t not_shown, int status,
                     int signal) = 0;
};

}  // namespace console

#endif  // LANLINK_CONSOLE_RENDERER_H
