#include "render_text.h"

#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "render_text_words.h"
#include "slot_display.h"

namespace console {

namespace {

using text_words::append_number;
using text_words::counted;
using text_words::number;

// The line a verbose printout ends with: the vector's true source and the
// local time its last datagram arrived, to the millisecond.
void append_origin(std::string& shown, const net::Endpoint& from, const timespec& arrived) {
    const time_t whole = arrived.tv_sec;
    tm local{};
    localtime_r(&whole, &local);
    char time_text[32];
    std::snprintf(time_text, sizeof time_text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(arrived.tv_nsec / 1000000));
    shown += "\tFROM: ";
    shown += from.text();
    shown += " at ";
    shown += time_text;
}

// A verbose printout's word on the slots that were cut: each one's own length.
void append_cut_slots(std::string& shown, const net::Vector_Event& vector) {
    static constexpr std::array<const char*, wire::kPacketsPerVector> kNames = {"IP", "PORT",
                                                                                "MSG"};
    for (std::size_t i = 0; i < vector.size.size(); ++i) {
        if (vector.size.at(i) > vector.len.at(i)) {
            shown += " (";
            shown += kNames.at(i);
            shown += " was ";
            append_number(shown, static_cast<long long>(vector.size.at(i)));
            shown += " bytes)";
        }
    }
}

// What an answered update adds to its vector's printout: the sender's
// address and port as SDL_net holds them (network byte order), and each
// answer packet's set-up.
void append_answer_lines(std::string& shown, const net::Endpoint& from, bool sent) {
    shown += "Recieved update request from client... redirecting and sending information...\nip: ";
    append_number(shown, static_cast<int>(from.ipv4_host()));  // the raw value, signed
    shown += "\nhost: ";
    append_number(shown, htons(from.port()));
    shown += "\nSetting packet vector destination info...\n";
    for (int i = 0; i < wire::kPacketsPerVector; ++i) {
        shown += "Packet[";
        append_number(shown, i);
        shown += "]: setting host->setting port->setting length->";
        append_number(shown, wire::kAnswerLength);
        shown += " setting channel...\n";
    }
    shown += "Sending...\n";
    if (!sent) {
        shown += "Error sending packet!\n";
    }
    shown += "Update request complete.\n";
}

const char* step_text(net::Step step) {
    switch (step) {
        case net::Step::kLibrary:
            return "Initializing SDL_net (recieve)...";
        case net::Step::kSendSocket:
            return "Opening random communication socket for sending...";
        case net::Step::kDestination:
            return "Resolving destination address...";
        case net::Step::kOutboundMemory:
            return "Allocating memory for sending packets...";
        case net::Step::kInboundMemory:
            return "Allocating memory for recieving packets...";
        case net::Step::kCaptureFile:
            return "Opening the capture file...";
        case net::Step::kListenPort:
        case net::Step::kReceiveSocket:
        case net::Step::kIpv6ReceiveSocket:
            break;
    }
    return "";
}

const char* shutdown_text(net::Shutdown_Step step) {
    switch (step) {
        case net::Shutdown_Step::kSendingClient:
            return "Shutting down sending client...\nFreeing allocated memory for outbound "
                   "packets...";
        case net::Shutdown_Step::kOutboundMemory:
            return "Done!\nShutting down recieving client...\nFreeing allocated memory for "
                   "inbound packets...";
        case net::Shutdown_Step::kInboundMemory:
            return "Done!\nExiting SDLNet and terminating server...";
        case net::Shutdown_Step::kLibrary:
            break;
    }
    return "Done!\n";
}

}  // namespace

const char* help_text() {
    return "\n Help:\n"
           "\t        set_ip - set ip address to send to\n"
           "\t      set_port - set port number to send to\n"
           "\tshow_dest_info - displays current destination IP address and port number\n"
           "\t          send - send data packet to destination IP address at selected port\n"
           "\t          exit - quit program, but don't force other client to quit too\n"
           "\t          help - display this message\n\n"
           "\t         stats - show what was received, answered, sent and lost since start\n";
}

Text_Renderer::Text_Renderer(Text_Out& out, Text_Settings settings)
    : out_(out), settings_(settings) {}

void Text_Renderer::progress(std::string_view text) {
    if (!settings_.quiet) {
        say(text);
    }
}

void Text_Renderer::step_begun(net::Step step, int port, bool default_port) {
    if (step == net::Step::kListenPort) {
        progress(default_port ? "\nNo port given...\nDefaulting to port 4555...\n"
                              : "Accepting connections on port: " + number(port) + "\n");
    } else if (step == net::Step::kReceiveSocket) {
        progress("Opening port " + number(port) + " for incoming connections...");
    } else if (step == net::Step::kIpv6ReceiveSocket) {
        if (settings_.verbose) {
            progress("Opening port " + number(port) + " for incoming IPv6 connections...");
        }
    } else if (step == net::Step::kCaptureFile) {
        if (settings_.verbose) {
            progress(step_text(step));
        }
    } else {
        progress(step_text(step));
    }
}

void Text_Renderer::step_done(net::Step step) {
    // The steps that are not the program's of old are told with -v only.
    if ((step != net::Step::kIpv6ReceiveSocket && step != net::Step::kCaptureFile) ||
        settings_.verbose) {
        progress(step == net::Step::kInboundMemory ? "Success!\n\n" : "Success!\n");
    }
}

void Text_Renderer::step_failed(net::Step /*step*/, std::string_view call,
                                std::string_view reason) {
    error("FAILED!\n" + std::string(call) + ": " + std::string(reason) + "\n");
    out_.finish();  // the process ends next
}

void Text_Renderer::shutdown_step(net::Shutdown_Step step) {
    progress(shutdown_text(step));
}

void Text_Renderer::receive_queue(int bytes, int wanted) {
    if (!settings_.verbose) {
        return;
    }
    std::string line = "Receive queue: " + number(bytes) + " bytes";
    if (bytes < wanted) {
        // The kernel counts twice what the limit allows.
        line += ", not the " + number(wanted) +
                " asked for: net.core.rmem_max limits it (sysctl -w net.core.rmem_max=" +
                number(wanted / 2) + " raises the limit)";
    }
    progress(line + "\n");
}

void Text_Renderer::vector(const net::Vector_Event& vector) {
    if (out_.discards(1)) {
        return;  // standard output is /dev/null: nothing to make
    }
    tell_owed(false);  // a drop line that found no room before keeps its place
    std::string& shown = printout_;
    shown.clear();
    text::append_printout(shown, vector.text(wire::kSlotAddress), vector.text(wire::kSlotPort),
                          vector.text(wire::kSlotKeyword));
    if (settings_.verbose) {
        append_origin(shown, vector.from, vector.arrived);
        append_cut_slots(shown, vector);
        shown += '\n';
    }
    if (vector.quit) {
        shown += "\nServer recieved \"quit\" signal from client!\n";
        out_.put(1, shown, Kind::kAnnouncement);  // the reason the program ends is always shown
        return;
    }
    if (vector.update && !settings_.quiet) {
        append_answer_lines(shown, vector.from, vector.answer_sent);
    }
    out_.put(1, shown, Kind::kPrintout);
}

void Text_Renderer::dropped(std::uint64_t count) {
    drops_owed_ += count;
    tell_owed(false);
}

void Text_Renderer::refused(std::uint64_t count, const net::Endpoint& last_from) {
    refused_owed_ += count;
    refused_last_ = last_from;
    tell_owed(false);
}

void Text_Renderer::cut(std::uint64_t count, const net::Endpoint& last_from,
                        std::size_t last_size) {
    cut_owed_ += count;
    cut_last_ = last_from;
    cut_last_size_ = last_size;
    tell_owed(false);
}

void Text_Renderer::set_aside(std::uint64_t count, const net::Endpoint& last_from) {
    set_aside_owed_ += count;
    set_aside_last_ = last_from;
    tell_owed(false);
}

void Text_Renderer::left_unread(std::uint64_t count) {
    out_.put(1, counted(count, " datagram", " datagrams") + " left unread at exit\n",
             Kind::kAnnouncement);
}

void Text_Renderer::vectors_refused(net::Refusal why, std::uint64_t count,
                                    const net::Endpoint& last_from, int max_skew_s) {
    Owed_Refusal& owed = vectors_owed_.at(static_cast<std::size_t>(why));
    owed.count += count;
    owed.last_from = last_from;
    owed.max_skew_s = max_skew_s;
    tell_owed(false);
}

void Text_Renderer::tell_owed(bool at_end) {
    const Kind kind = at_end ? Kind::kAnnouncement : Kind::kNotice;
    if (drops_owed_ > 0 &&
        out_.put(1,
                 counted(drops_owed_, " datagram", " datagrams") +
                     " dropped by the system before they could be read (the receive queue was "
                     "full)\n",
                 kind)) {
        drops_owed_ = 0;
    }
    if (refused_owed_ > 0 &&
        out_.put(1,
                 counted(refused_owed_, " datagram", " datagrams") +
                     " refused from hosts not allowed (last from " + refused_last_.text() + ")\n",
                 kind)) {
        refused_owed_ = 0;
    }
    static constexpr std::array<const char*, 3> kWhy = {"not authenticated", "replayed", "stale"};
    for (std::size_t why = 0; why < vectors_owed_.size(); ++why) {
        Owed_Refusal& owed = vectors_owed_.at(why);
        if (owed.count == 0) {
            continue;
        }
        std::string reason = kWhy.at(why);
        if (static_cast<net::Refusal>(why) == net::Refusal::kStale) {
            reason += ", clock off by more than " + number(owed.max_skew_s) + " s";
        }
        if (out_.put(1,
                     counted(owed.count, " vector", " vectors") + " refused: " + reason +
                         " (last from " + owed.last_from.text() + ")\n",
                     kind)) {
            owed.count = 0;
        }
    }
    if (cut_owed_ > 0 &&
        out_.put(1,
                 counted(cut_owed_, " datagram", " datagrams") + " cut to " +
                     number(wire::kPacketSize) + " bytes (last from " + cut_last_.text() + ", " +
                     number(static_cast<long long>(cut_last_size_)) + " bytes)\n",
                 kind)) {
        cut_owed_ = 0;
    }
    if (set_aside_owed_ > 0 &&
        out_.put(1,
                 counted(set_aside_owed_, " datagram", " datagrams") +
                     " set aside after a loss: too soon after it to know their place in a "
                     "vector (last from " +
                     set_aside_last_.text() + ")\n",
                 kind)) {
        set_aside_owed_ = 0;
    }
    if (not_captured_owed_ > 0 &&
        out_.put(1,
                 counted(not_captured_owed_, " datagram", " datagrams") + " not captured (" +
                     (capture_stopped_ ? "the capture had stopped" : "the capture fell behind") +
                     ")\n",
                 kind)) {
        not_captured_owed_ = 0;
    }
}

void Text_Renderer::capture_failed(std::string_view path, int error_number) {
    error("lanlink: cannot write the capture " + std::string(path) + ": " +
          std::strerror(error_number) + "; the capture has stopped\n");
}

void Text_Renderer::not_captured(std::uint64_t count, bool stopped) {
    not_captured_owed_ += count;
    capture_stopped_ = stopped;
    tell_owed(false);
}

}  // namespace console
