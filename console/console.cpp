#include "console.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "keyboard.h"
#include "line_editor.h"
#include "options.h"
#include "output.h"
#include "slot_text.h"
#include "socket_support.h"
#include "udp_server_service.h"
#include "waiter.h"

namespace {

using console::Commands;
using console::Line_Reader;
using console::LineRead;
using console::Outcome;
using console::Waiter;
using console::Woken;

constexpr const char* kUsage =
    "\nInvalid syntax!\n\tlanlink <other_ip> <other_ip's_send_port> <listen_port>\n\n";
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
    "  -W, --window MS          a vector's three datagrams must arrive within MS\n"
    "                           milliseconds of its first, 1 to 1000 (default 50)\n"
    "  -a, --allow ADDR[/BITS]  take datagrams only from this host or network\n"
    "                           (repeatable; others are counted and refused)\n"
    "      --answer-to HOST[:PORT]\n"
    "                           send update answers there (default 127.0.0.1:4556);\n"
    "                           HOST sender: back to the asker's address\n"
    "  -h, --help               show this text and exit\n"
    "  -V, --version            show the version and exit\n"
    "\n"
    "Without --prompt, to type a command press a key and then Enter (for instance\n"
    "Enter twice); the $ prompt then reads one command line.\n";
constexpr unsigned char kEnter = 10;

Outcome outcome_of(Woken woken) {
    switch (woken) {
        case Woken::kInput:
        case Woken::kTerminalMoved:
            return Outcome::kGoOn;
        case Woken::kStop:
            return Outcome::kPeerQuit;
        case Woken::kOutputFailed:
            break;
    }
    return Outcome::kOutputFailed;
}

// Asked once: on a standard input that is not a terminal this is the only
// terminal call the program makes.
bool input_is_terminal() {
    static const bool terminal = isatty(STDIN_FILENO) == 1;
    return terminal;
}

// A port argument is a 16-bit number: one outside 0..65535 is refused
// before anything else happens, never wrapped. Text that is not a number
// reads as 0, as atoi reads it.
bool ports_in_range(int argc, char** argv) {
    if (argc <= 3) {
        return true;  // too few arguments: the usage message says it
    }
    const std::pair<int, const char*> ports[] = {{2, "destination port"}, {3, "listen port"}};
    for (const auto& [index, name] : ports) {
        const int port = console::to_int(argv[index]);
        if (!wire::port_in_range(port)) {
            std::fprintf(stderr, "lanlink: the %s %s is outside 0 to 65535\n", name, argv[index]);
            return false;
        }
    }
    return true;
}

int output_failed() {
    std::fprintf(stderr, "lanlink: cannot write to standard output: %s\n",
                 std::strerror(console::output_errno()));
    return 1;
}

// Prints `prompt` and reads lines until one holds a word, as a word read
// skips empty lines; `line` is that line and `words` are its words.
// Printouts are held while the line is typed and written once it has been
// read, ahead of what the command prints.
LineRead prompt_line(Waiter& waiter, const char* prompt, std::string& line,
                     std::vector<std::string>& words) {
    std::fputs(prompt, stdout);
    for (;;) {
        console::hold();
        // What comes after the line in the same read is dropped: a command
        // at this prompt is one line.
        Line_Reader reader;
        const LineRead read = console::read_line(waiter, reader, line);
        if (read == LineRead::kStop) {
            // The other peer ended the program while a line was being typed:
            // the unfinished line is dropped, not left for the shell, and the
            // printouts start on a line of their own.
            terminal::discard_input();
            console::release("\n");
            return read;
        }
        console::release();
        if (read != LineRead::kLine) {
            return read;
        }
        words = console::words_of(line);
        if (!words.empty()) {
            return read;
        }
    }
}

Outcome outcome_of(LineRead read) {
    switch (read) {
        case LineRead::kLine:
            return Outcome::kGoOn;
        case LineRead::kEnd:  // end of input: nothing more can be typed
            return Outcome::kStop;
        case LineRead::kStop:
            return Outcome::kPeerQuit;
        case LineRead::kOutputFailed:
            break;
    }
    return Outcome::kOutputFailed;
}

// Reads and runs one command line at the classic prompt; an argument that
// is not on the command's line is asked for with " > ".
Outcome classic_command(UDP_Server_Service& service, Waiter& waiter) {
    Commands commands(service, true);
    std::string line;
    std::vector<std::string> words;
    LineRead read = prompt_line(waiter, "\n$ ", line, words);
    if (read != LineRead::kLine) {
        return outcome_of(read);
    }
    const Outcome outcome = commands.take(line);
    if (outcome != Outcome::kGoOn || !commands.awaiting()) {
        return outcome;
    }
    read = prompt_line(waiter, " > ", line, words);
    if (read != LineRead::kLine) {
        return outcome_of(read);
    }
    return commands.take(line);
}

// One turn of the loop: wait for a key while serving the socket; the key
// after it decides, and Enter opens the prompt.
Outcome turn(UDP_Server_Service& service, Waiter& waiter) {
    if (!waiter.may_read()) {
        // Headless, or in the background: the socket alone, until the
        // program is back in the terminal's foreground.
        return outcome_of(waiter.wait());
    }
    // Canonical mode off while idle, so that a single key ends the wait.
    const bool changed = terminal::enter(terminal::Setting::kAnyKey, TCSANOW) == 0;
    Woken woken = waiter.wait();
    int waiting = 0;
    if (woken == Woken::kInput && ioctl(STDIN_FILENO, FIONREAD, &waiting) != 0) {
        waiting = 0;
    }
    if (changed) {
        terminal::leave(TCSANOW);
    }
    if (woken != Woken::kInput) {
        return outcome_of(woken);
    }
    if (waiting <= 0) {
        waiter.stop_reading_input();  // readable, yet nothing to read: the terminal hung up
        return Outcome::kGoOn;
    }

    // getch()'s settings: what is waiting is discarded, the detected key
    // with it, and the next key is read unechoed. The discarding is done
    // apart from the change, which then need not wait for output to drain.
    terminal::discard_input();
    if (terminal::enter(terminal::Setting::kOneKey, TCSANOW) != 0) {
        if (terminal::foreground()) {
            waiter.stop_reading_input();
        }
        return Outcome::kGoOn;
    }
    woken = waiter.wait();
    unsigned char key = 0;
    ssize_t got = 0;
    if (woken == Woken::kInput) {
        while ((got = read(STDIN_FILENO, &key, 1)) < 0 && errno == EINTR) {
        }
    }
    // Bytes that came with the key (a paste, an escape sequence) go too.
    terminal::discard_input();
    terminal::leave(TCSANOW);
    if (woken != Woken::kInput) {
        return outcome_of(woken);
    }
    if (got != 1) {
        waiter.stop_reading_input();
        return Outcome::kGoOn;
    }
    if (key != kEnter) {
        return Outcome::kGoOn;
    }
    return classic_command(service, waiter);
}

// The open prompt on a terminal: each line typed is a command, edited with
// readline while the socket is served.
Outcome open_prompt(UDP_Server_Service& service, Waiter& waiter) {
    Commands commands(service, true);
    console::Line_Editor editor(commands);
    waiter.edit_with(&editor);
    Outcome outcome = Outcome::kGoOn;
    while (outcome == Outcome::kGoOn) {
        const Woken woken = waiter.wait();
        if (woken == Woken::kInput) {
            outcome = editor.read_keys();
        } else if (woken == Woken::kTerminalMoved) {
            if (waiter.may_read()) {
                editor.redraw();  // back in the foreground
            }
        } else {
            if (woken == Woken::kStop) {
                editor.abandon();
            }
            outcome = outcome_of(woken);
        }
    }
    waiter.edit_with(nullptr);
    return outcome;
}

// Commands from a pipe or a file, one a line, until its end, which ends the
// program as "exit" does.
Outcome commands_from(UDP_Server_Service& service, Waiter& waiter, Line_Reader& input) {
    Commands commands(service, false);
    std::string line;
    for (;;) {
        const LineRead read = console::read_line(waiter, input, line);
        if (read != LineRead::kLine) {
            return outcome_of(read);
        }
        const Outcome outcome = commands.take(line);
        if (outcome != Outcome::kGoOn) {
            return outcome;
        }
    }
}

}  // namespace

namespace {

// The lines of standard input, shared by the confirmation and the commands
// from a pipe: a line after the answer is a command, not lost.
Line_Reader& standard_input() {
    static Line_Reader lines;
    return lines;
}

// checkArgs(), asking the question only when `ask`; without it the
// arguments are shown (unless `quiet`) and taken.
int confirm(int argc, char** argv, bool ask, bool quiet) {
    if (argc <= 3) {
        return 0;
    }
    if (!ask && quiet) {
        return 1;
    }
    std::printf("\n   IP Address to connect to: %s", argv[1]);
    std::printf("\n  Port number to connect to: %s", argv[2]);
    std::printf("\nListen port to recieve from: %s", argv[3]);
    if (!ask) {
        std::printf("\n");
        return 1;
    }
    std::printf("\nIs this correct? [Y/n] ");
    Waiter waiter(nullptr, true, input_is_terminal());
    std::string line;
    if (console::read_line(waiter, standard_input(), line) != LineRead::kLine) {
        return 1;  // end of input takes the default answer, Y
    }
    const std::vector<std::string> words = console::words_of(line);
    return !words.empty() && (words.front() == "n" || words.front() == "N") ? 0 : 1;
}

}  // namespace

int checkArgs(int argc, char** argv) {
    return confirm(argc, argv, true, false);
}

void displayHelp() {
    std::puts("\n Help:");
    std::puts("\t        set_ip - set ip address to send to");
    std::puts("\t      set_port - set port number to send to");
    std::puts("\tshow_dest_info - displays current destination IP address and port number");
    std::puts("\t          send - send data packet to destination IP address at selected port");
    std::puts("\t          exit - quit program, but don't force other client to quit too");
    std::puts("\t          help - display this message\n");
    std::puts("\t         stats - show what was received, answered, sent and lost since start");
}

int lanlink_main(int argc, char** argv) {
    // Descriptors 0 to 2 closed at start would be taken by the first socket
    // or pipe opened, which output or the keyboard would then be mistaken for.
    net::open_standard_descriptors();
    // A closed standard output is then a write error, reported, rather than
    // a signal that ends the program silently.
    std::signal(SIGPIPE, SIG_IGN);
    console::start_output();
    console::Options options;
    if (!console::parse_options(argc, argv, options)) {
        return console::kOptionError;
    }
    if (options.help) {
        std::fputs(kHelpText, stdout);
        displayHelp();
        return 0;
    }
    if (options.version) {
        std::printf("lanlink %s\n", LANLINK_VERSION);
        return 0;
    }
    std::vector<char*> operands;
    operands.reserve(options.operands.size());
    for (std::string& operand : options.operands) {
        operands.push_back(operand.data());
    }
    const int count = static_cast<int>(operands.size());
    if (!ports_in_range(count, operands.data())) {
        return 1;
    }
    if (confirm(count, operands.data(), !options.yes, options.peer.quiet) == 0) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    if (console::output_failed()) {
        console::finish_output();
        return output_failed();
    }
    console::clear_screen();

    // Decided once: without a terminal no key can be typed, and no keyboard
    // call is ever made; commands then come only from a pipe or a file, and
    // only with --prompt.
    const bool keyboard = input_is_terminal();
    if (keyboard) {
        terminal::install_signal_handlers();
    }
    Outcome outcome = Outcome::kGoOn;
    {
        UDP_Server_Service service(console::to_int(operands[3]), operands[1],
                                   console::to_int(operands[2]), options.peer);
        service.set_printout_sink([](std::string_view text, UDP_Server_Service::Shown what) {
            switch (what) {
                case UDP_Server_Service::Shown::kVector:
                    return console::offer_printout(text);
                case UDP_Server_Service::Shown::kNotice:
                    return console::offer_notice(text);
                case UDP_Server_Service::Shown::kKept:
                    break;
            }
            console::offer_kept(text);
            return true;
        });
        Waiter waiter(&service, keyboard || options.prompt, keyboard);
        if (options.prompt && keyboard) {
            outcome = open_prompt(service, waiter);
        } else if (options.prompt) {
            outcome = commands_from(service, waiter, standard_input());
        }
        while (outcome == Outcome::kGoOn) {
            outcome = turn(service, waiter);
        }
        if (outcome != Outcome::kOutputFailed) {
            // Everything received is accounted for before the end: a command
            // that ended the loop lets what waits on the socket be served
            // first, as the turn would have served it.
            service.finish(outcome != Outcome::kPeerQuit);
            console::release();  // and the count of what was not shown
            if (!options.peer.quiet) {
                std::puts("\nTerminating program normally...");
            }
        }
    }
    // Shutting SDL_net down gave SIGPIPE its default action back.
    std::signal(SIGPIPE, SIG_IGN);
    console::finish_output();
    if (outcome == Outcome::kOutputFailed || console::output_failed()) {
        return output_failed();
    }
    return outcome == Outcome::kFailed ? 1 : 0;
}
