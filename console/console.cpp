#include "console.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "command_line.h"
#include "loop.h"
#include "options.h"
#include "output.h"
#include "render_json.h"
#include "render_text.h"
#include "settings.h"
#include "socket_support.h"
#include "udp_server_service.h"
#include "waiter.h"
#include "words.h"

namespace {

using console::Outcome;

constexpr const char* kHelpText =
    "Usage: lanlink [options] <other_ip> <other_ip's_send_port> <listen_port>\n"
    "       lanlink --help | --version\n"
    "\n"
    "One peer of a small UDP exchange of packet vectors: it listens on listen_port,\n"
    "prints every vector it receives, answers \"update\" to 127.0.0.1 port 4556 and\n"
    "ends on \"quit\". It first asks to confirm the three arguments.\n"
    "\n"
    "  -p, --prompt             keep the $ prompt open: every line typed is a command,\n"
    "                           with line editing and history; with standard input\n"
    "                           a pipe or a file, one command a line until its end\n"
    "  -y, --yes                take the arguments as shown, without the question\n"
    "  -q, --quiet              no progress lines at start and end, and no account\n"
    "                           of each answer\n"
    "  -v, --verbose            end each printout with its source and arrival time\n"
    "      --json               standard output is JSON Lines, an object an event;\n"
    "                           implies -y and -q; commands come a line at a time\n"
    "                           (with -p the end of input ends the program)\n"
    "  -w, --capture FILE       write every datagram received and sent to FILE,\n"
    "                           in pcap format\n"
    "  -W, --window MS          a vector's three datagrams must arrive within MS\n"
    "                           milliseconds of its first, 1 to 1000 (default 50)\n"
    "  -a, --allow ADDR[/BITS]  take datagrams only from this host or network\n"
    "                           (repeatable; others are counted and refused)\n"
    "      --answer-to HOST[:PORT]\n"
    "                           send update answers there (default 127.0.0.1:4556);\n"
    "                           HOST sender: back to the asker's address, an IPv6\n"
    "                           address as [ADDR]:PORT or ADDR\n"
    "  -4, --ipv4 / -6, --ipv6  IPv4 only / IPv6 only (default: both)\n"
    "  -k, --key FILE           take only vectors tagged with the shared key in FILE,\n"
    "                           and tag every vector sent\n"
    "      --new-key FILE       make a new key in FILE (mode 0600) and exit\n"
    "      --max-skew SECONDS   a keyed vector's send time may be this far off the\n"
    "                           clock, 1 to 86400 (default 30)\n"
    "  -h, --help               show this text and exit\n"
    "  -V, --version            show the version and exit\n"
    "\n"
    "Without --prompt, to type a command press a key and then Enter (for instance\n"
    "Enter twice); the $ prompt then reads one command line.\n";

// Asked once: on a standard input that is not a terminal this is the only
// terminal call the program makes.
bool input_is_terminal() {
    static const bool terminal = isatty(STDIN_FILENO) == 1;
    return terminal;
}

// A port argument is a 16-bit number: one outside 0..65535 is refused
// before anything else happens, never wrapped. The destination port must be
// a whole decimal number, as set_port's; a listen port that is not a number
// reads as 0, as atoi reads it, and means the default.
bool ports_in_range(const std::vector<std::string>& operands, console::Text_Out& out) {
    if (operands.size() <= 3) {
        return true;  // too few arguments: the usage message says it
    }
    const auto refuse = [&out](const char* name, const std::string& text, const char* why) {
        out.put(2, "lanlink: the " + std::string(name) + " " + text + why, console::Kind::kConsole);
        return false;
    };
    const std::string& dest = operands.at(2);
    const std::optional<int> dest_port = cli::whole_number(dest);
    if (!dest_port) {
        return refuse("destination port", dest, " is not a whole decimal number\n");
    }
    if (!wire::port_in_range(*dest_port)) {
        return refuse("destination port", dest, " is outside 0 to 65535\n");
    }
    const std::string& listen = operands.at(3);
    if (!wire::port_in_range(cli::leading_number(listen.c_str()))) {
        return refuse("listen port", listen, " is outside 0 to 65535\n");
    }
    return true;
}

// checkArgs(), asking the question only when `ask`; without it the
// arguments are shown (unless `quiet`) and taken. The answer is the first
// word of a line from `input`.
int confirm(const std::vector<std::string>& operands, bool ask, bool quiet,
            console::Renderer& renderer, console::Output& output, console::Line_Reader& input) {
    if (operands.size() <= 3) {
        return 0;
    }
    if (!ask && quiet) {
        return 1;
    }
    renderer.arguments(operands[1], operands[2], operands[3], ask);
    if (!ask) {
        return 1;
    }
    console::Waiter waiter(output, nullptr, true, input_is_terminal());
    std::string line;
    const console::LineRead read = console::read_line(waiter, input, line);
    if (read == console::LineRead::kSignalled) {
        output.finish();
        terminal::end_by(terminal::ending_signal());
    }
    if (read != console::LineRead::kLine) {
        return 1;  // end of input takes the default answer, Y
    }
    const console::Words words(line);
    return !words.empty() && (words.at(0) == "n" || words.at(0) == "N") ? 0 : 1;
}

// How the program ends after the loop: its status, once what it owes is
// told, the counts at exit last. An ending signal ends it by that signal.
int ending_status(Outcome outcome, console::Output& output, console::Renderer& renderer,
                  int wait_error, int failed_commands, const net::Peer_Counters& counters) {
    if (outcome == Outcome::kWaitFailed) {
        renderer.wait_failed("ppoll", wait_error);
    }
    if (failed_commands > 0) {
        renderer.commands_failed(failed_commands);
    }
    output.finish();
    if (outcome == Outcome::kOutputFailed || output.failed()) {
        renderer.output_failed(output.error());
        output.finish();
        return 1;
    }
    const bool failed = outcome == Outcome::kDestinationFailed || outcome == Outcome::kWaitFailed ||
                        failed_commands > 0;
    const int status = failed ? 1 : 0;
    const int signal = outcome == Outcome::kSignalled ? terminal::ending_signal() : 0;
    renderer.end(counters, output.not_shown(), status, signal);
    output.finish();
    if (output.failed()) {
        renderer.output_failed(output.error());
        output.finish();
        return 1;
    }
    if (signal != 0) {
        terminal::end_by(signal);
    }
    return status;
}

}  // namespace

int checkArgs(int argc, char** argv) {
    console::Output output;
    console::Text_Renderer renderer(output, {});
    console::Line_Reader input;
    const std::vector<std::string> operands(argv, argv + argc);
    return confirm(operands, true, false, renderer, output, input);
}

void displayHelp() {
    std::fputs(console::help_text(), stdout);
}

int lanlink_main(int argc, char** argv) {
    // Descriptors 0 to 2 closed at start would be taken by the first socket
    // or pipe opened, which output or the keyboard would then be mistaken for.
    net::open_standard_descriptors();
    // A closed standard output is then a write error, reported, rather than
    // a signal that ends the program silently.
    std::signal(SIGPIPE, SIG_IGN);
    // SIGTERM, SIGINT and SIGHUP take the way out, as "exit" does, and then
    // end the program by the signal.
    terminal::catch_ending_signals();
    console::Output output;
    console::Options options;
    if (!console::parse_options(argc, argv, options, output)) {
        return console::kOptionError;
    }
    if (options.help) {
        output.put(1, kHelpText, console::Kind::kConsole);
        console::Text_Renderer(output, options.text).help();
        return 0;
    }
    if (options.version) {
        output.put(1, std::string("lanlink ") + LANLINK_VERSION + "\n", console::Kind::kConsole);
        return 0;
    }
    if (!options.new_key_file.empty() || !options.key_file.empty()) {
        if (!net::start_sodium()) {
            output.put(2, "lanlink: libsodium could not start\n", console::Kind::kConsole);
            return 1;
        }
        std::string error;
        if (!options.new_key_file.empty()) {
            if (!net::Shared_Key::make(options.new_key_file, error)) {
                output.put(2, "lanlink: " + error + "\n", console::Kind::kConsole);
                return 1;
            }
            return 0;
        }
        options.peer.key = net::Shared_Key::load(options.key_file, error);
        if (!options.peer.key) {
            output.put(2, "lanlink: " + error + "\n", console::Kind::kConsole);
            return 1;
        }
    }
    if (!ports_in_range(options.operands, output)) {
        return 1;
    }
    std::unique_ptr<console::Renderer> chosen;
    if (options.json) {
        chosen = std::make_unique<console::Json_Renderer>(output);
        output.set_untold_line(console::Json_Renderer::not_shown_line);
    } else {
        chosen = std::make_unique<console::Text_Renderer>(output, options.text);
    }
    console::Renderer& renderer = *chosen;
    console::Line_Reader input;  // standard input's lines: the answer, then commands
    if (confirm(options.operands, !options.yes, options.text.quiet, renderer, output, input) == 0) {
        renderer.usage();
        return 1;
    }
    output.flush();
    if (output.failed()) {
        renderer.output_failed(output.error());
        return 1;
    }
    renderer.clear();

    // Decided once: without a terminal no key can be typed, and no keyboard
    // call is ever made; commands then come only from a pipe or a file, and
    // only with --prompt.
    // With --json a terminal too gives its commands a line at a time, as a
    // pipe does: nothing but JSON is written to standard output.
    const bool keyboard = input_is_terminal() && !options.json;
    const bool command_lines = options.prompt || options.json;
    if (keyboard) {
        terminal::install_signal_handlers();
    }
    Outcome outcome = Outcome::kGoOn;
    int wait_error = 0;
    int failed_commands = 0;
    net::Peer_Counters counters;
    {
        const std::vector<std::string>& operands = options.operands;
        UDP_Server_Service service(cli::leading_number(operands[3].c_str()), renderer, operands[1],
                                   cli::leading_number(operands[2].c_str()), options.peer);
        console::Waiter waiter(output, &service, keyboard || command_lines, keyboard);
        console::Loop loop{service, waiter, output, renderer, input};
        if (options.prompt && keyboard) {
            outcome = console::open_prompt(loop);
        } else if (command_lines) {
            // With --json alone the end of input ends the commands, not the
            // program, which goes on serving its socket.
            outcome = console::commands_from_input(loop, options.prompt);
        }
        while (outcome == Outcome::kGoOn) {
            outcome = console::classic_turn(loop);
        }
        wait_error = waiter.wait_error();
        failed_commands = loop.failed_commands;
        if (outcome != Outcome::kWaitFailed) {
            // Every way out accounts for everything: what waited on the
            // socket when it began is read and handled, output flowing
            // meanwhile, and the counts owed are told before the end.
            service.finish([&output] { output.flush(); });
            output.release();
            renderer.closing();
            renderer.terminating();
        }
        counters = service.counters_told();
    }
    // Shutting SDL_net down gave SIGPIPE its default action back.
    std::signal(SIGPIPE, SIG_IGN);
    return ending_status(outcome, output, renderer, wait_error, failed_commands, counters);
}
