// The text renderer's answers to the operator: sends, destinations, the
// arguments and their question, help, stats, and the lines of the way out.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "render_text.h"
#include "render_text_words.h"
#include "slot_display.h"

namespace console {

namespace {

using text_words::counted;
using text_words::number;

constexpr const char* kUsage =
    "\nInvalid syntax!\n\tlanlink <other_ip> <other_ip's_send_port> <listen_port>\n\n";

}  // namespace

void Text_Renderer::sent(std::string_view word, const net::Destination& to) {
    say("Sent \"" + text::escape_controls(word) + "\" to " + to.ip + " on port " + number(to.port) +
        "\n");
}

void Text_Renderer::send_failed(std::string_view /*word*/, const net::Destination& /*to*/) {
    say("Error sending packet!\n");
}

void Text_Renderer::send_too_long(std::string_view word, std::size_t longest, bool keyed) {
    say("Not sent: the message is " + number(static_cast<long long>(word.size())) +
        " bytes long, and " + (keyed ? "with a key " : "") + "a packet holds " +
        number(static_cast<long long>(longest)) +
        (keyed ? ", its terminating zero and its trailer.\n" : " and its terminating zero.\n"));
}

void Text_Renderer::destination_changing(const net::Destination& to, bool port_given) {
    say(port_given
            ? "Setting destination port " + number(to.port) + " @ " + to.ip + "..."
            : "Resolving new destination IP @ " + to.ip + " on port " + number(to.port) + "...");
}

void Text_Renderer::destination_resolved(const net::Destination& /*to*/) {
    say("Success!\n");
}

void Text_Renderer::destination_failed(const net::Destination& to, std::string_view reason) {
    error("FAILED!\nSDLNet_ResolveHost(" + to.ip + " " + number(to.port) +
          "): " + std::string(reason) + "\n");
}

void Text_Renderer::port_out_of_range(long long port, const net::Destination& stays) {
    say("Port " + number(port) + " is outside 0 to 65535: the destination stays " + stays.ip +
        " on port " + number(stays.port) + ".\n");
}

void Text_Renderer::destination_shown(const net::Destination& now) {
    say("Sending packets to " + now.ip + " on port " + number(now.port) + "\n");
}

void Text_Renderer::update_sending(std::uint32_t host, std::uint16_t port) {
    say("SENDING!\nIP: " + number(static_cast<int>(host)) + "\nport: " + number(port) + "\n");
}

void Text_Renderer::update_unresolved() {
    say("\nError re-resolving host!\n");
}

void Text_Renderer::arguments(std::string_view other_ip, std::string_view other_port,
                              std::string_view listen_port, bool ask) {
    std::string shown = "\n   IP Address to connect to: ";
    shown += other_ip;
    shown += "\n  Port number to connect to: ";
    shown += other_port;
    shown += "\nListen port to recieve from: ";
    shown += listen_port;
    shown += ask ? "\nIs this correct? [Y/n] " : "\n";
    say(shown);
}

void Text_Renderer::usage() {
    error(kUsage);
}

// What clear prints is taken from a pipe and written like any other output,
// so that a terminal that is not reading cannot hold the program up here
// either; a terminal it cannot clear is left as it is. Anywhere else (a file,
// a pipe) its escapes would only be noise.
void Text_Renderer::clear() {
    if (isatty(STDOUT_FILENO) != 1) {
        return;
    }
    FILE* clear = popen("clear 2>/dev/null", "r");
    if (clear == nullptr) {
        return;
    }
    char bytes[256];
    std::size_t got = 0;
    while ((got = std::fread(bytes, 1, sizeof bytes, clear)) > 0) {
        say(std::string_view(bytes, got));
    }
    pclose(clear);
}

void Text_Renderer::prompt(Prompt prompt) {
    say(prompt == Prompt::kCommand ? "\n$ " : " > ");
}

void Text_Renderer::help() {
    say(help_text());
}

void Text_Renderer::stats(const net::Peer_Counters& counts, std::uint64_t not_shown) {
    const std::pair<const char*, std::uint64_t> lines[] = {
        {"vectors received", counts.vectors_received},
        {"incomplete vectors", counts.incomplete_vectors},
        {"updates answered", counts.updates_answered},
        {"vectors sent", counts.vectors_sent},
        {"datagrams dropped", counts.datagrams_dropped},
        {"datagrams set aside after a loss", counts.datagrams_set_aside},
        {"printouts not shown", not_shown},
        {"datagrams refused", counts.datagrams_refused},
        {"datagrams cut to 512 bytes", counts.datagrams_cut},
    };
    std::string shown;
    for (const auto& [name, value] : lines) {
        shown += name;
        shown += ": ";
        shown += std::to_string(value);
        shown += '\n';
    }
    if (counts.keyed) {
        const std::pair<const char*, std::uint64_t> keyed[] = {
            {"vectors not authenticated", counts.vectors_not_authenticated},
            {"vectors replayed", counts.vectors_replayed},
            {"vectors stale", counts.vectors_stale},
        };
        for (const auto& [name, value] : keyed) {
            shown += name;
            shown += ": ";
            shown += std::to_string(value);
            shown += '\n';
        }
    }
    if (counts.capturing) {
        shown += "datagrams captured: " + std::to_string(counts.datagrams_captured) +
                 "\ndatagrams not captured: " + std::to_string(counts.datagrams_not_captured) +
                 "\n";
    }
    say(shown);
}

void Text_Renderer::unknown_command(std::string_view word) {
    say("Unknown command \"" + text::escape_controls(word) + "\": type help for the commands.\n");
}

void Text_Renderer::port_not_a_number(std::string_view text, const net::Destination& stays) {
    say("Port \"" + text::escape_controls(text) +
        "\" is not a whole decimal number: the destination stays " + stays.ip + " on port " +
        number(stays.port) + ".\n");
}

void Text_Renderer::destination_fatal() {
    say("\nAn Error has occurred! The program must exit.\n");
}

void Text_Renderer::client_quit(std::string_view word) {
    clear();
    say("msg = " + std::string(word) + "\n\nClient sent \"quit\" command!\n");
}

void Text_Renderer::closing() {
    tell_owed(true);
}

void Text_Renderer::commands_failed(int count) {
    error(counted(static_cast<std::uint64_t>(count), " command", " commands") + " failed\n");
}

void Text_Renderer::terminating() {
    progress("\nTerminating program normally...\n");
}

void Text_Renderer::output_failed(int error_number) {
    error("lanlink: cannot write to standard output: " + std::string(std::strerror(error_number)) +
          "\n");
}

void Text_Renderer::wait_failed(std::string_view call, int error_number) {
    error("lanlink: " + std::string(call) + ": " + std::strerror(error_number) + "\n");
}

}  // namespace console
