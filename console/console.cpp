#include "console.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <string>
#include <utility>

#include "keyboard.h"
#include "udp_server_service.h"

namespace {

constexpr const char* kUsage =
    "\nInvalid syntax!\n\tlanlink <other_ip> <other_ip's_send_port> <listen_port>\n\n";
constexpr const char* kFatalLine = "\nAn Error has occurred! The program must exit.";

// How long one idle turn waits for a datagram. With a keyboard to poll the
// wait is short so that a key is noticed promptly; without one no command can
// ever arrive and only a datagram can end the wait.
constexpr int kKeyboardWaitMs = 20;
constexpr int kHeadlessWaitMs = 1000;

constexpr int kEnter = 10;
constexpr std::size_t kOutputBuffer = std::size_t{64} * 1024;
// Only "n" and "N" reject: keeping two characters of the answer is enough.
constexpr std::size_t kConfirmationKept = 2;

// atoi's reading of a number (text that is not a number gives 0), with
// values beyond int held at its limits instead of overflowing.
int to_int(const char* text) {
    const long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
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
        const int port = to_int(argv[index]);
        if (!wire::port_in_range(port)) {
            std::fprintf(stderr, "lanlink: the %s %s is outside 0 to 65535\n", name, argv[index]);
            return false;
        }
    }
    return true;
}

bool read_word_kept(std::FILE* in, std::string& word, std::size_t kept) {
    word.clear();
    int c = 0;
    do {
        c = std::getc(in);
    } while (c != EOF && std::isspace(c) != 0);
    if (c == EOF) {
        return false;
    }
    while (c != EOF && std::isspace(c) == 0) {
        if (word.size() < kept) {
            word += static_cast<char>(c);
        }
        c = std::getc(in);
    }
    if (c != EOF) {
        std::ungetc(c, in);
    }
    return true;
}

// Prints `prompt` and reads the next console word; false at end of input.
bool prompt_word(const char* prompt, std::string& word) {
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    return read_word(stdin, word);
}

// Reads and runs one command. Returns 1 when the loop is to stop.
int run_command(UDP_Server_Service& service, std::string& command, std::string& argument) {
    if (!prompt_word("\n$ ", command)) {
        return 1;  // end of input: nothing more can be typed
    }
    if (command == "send") {
        if (!prompt_word(" > ", argument)) {
            return 1;
        }
        // "quit" goes to the other peer too before this program ends.
        service.send_message(argument);
        if (argument == "quit") {
            std::fflush(stdout);
            std::system("clear");
            std::printf("msg = %s\n", argument.c_str());
            std::puts("\nClient sent \"quit\" command!");
            return 1;
        }
    } else if (command == "help") {
        displayHelp();
    } else if (command == "exit") {
        return 1;
    } else if (command == "set_ip") {
        if (!prompt_word(" > ", argument)) {
            return 1;
        }
        if (service.resolve_dest_address(argument.c_str()) == 0) {
            std::puts(kFatalLine);
            return 1;
        }
    } else if (command == "set_port") {
        if (!prompt_word(" > ", argument)) {
            return 1;
        }
        // A port outside 0..65535 is refused with a message and changes nothing.
        if (service.resolve_dest_address(to_int(argument.c_str())) == 0) {
            std::puts(kFatalLine);
            return 1;
        }
    } else if (command == "show_dest_info") {
        service.show_dest_info();
    }
    return 0;
}

}  // namespace

bool read_word(std::FILE* in, std::string& word) {
    return read_word_kept(in, word, std::string::npos);
}

int checkArgs(int argc, char** argv) {
    if (argc <= 3) {
        return 0;
    }
    std::printf("\n   IP Address to connect to: %s", argv[1]);
    std::printf("\n  Port number to connect to: %s", argv[2]);
    std::printf("\nListen port to recieve from: %s", argv[3]);
    std::printf("\nIs this correct? [Y/n] ");
    std::fflush(stdout);
    std::string answer;
    if (!read_word_kept(stdin, answer, kConfirmationKept)) {
        return 1;  // end of input takes the default answer, Y
    }
    return answer == "n" || answer == "N" ? 0 : 1;
}

void displayHelp() {
    std::puts("\n Help:");
    std::puts("\t        set_ip - set ip address to send to");
    std::puts("\t      set_port - set port number to send to");
    std::puts("\tshow_dest_info - displays current destination IP address and port number");
    std::puts("\t          send - send data packet to destination IP address at selected port");
    std::puts("\t          exit - quit program, but don't force other client to quit too");
    std::puts("\t          help - display this message\n");
}

int lanlink_main(int argc, char** argv) {
    // Standard output is written in whole pieces: the loop flushes it before
    // it waits, and every prompt flushes it, so nothing printed waits unseen.
    // A vector's printout thus costs one write, after its answer has gone out.
    std::setvbuf(stdout, nullptr, _IOFBF, kOutputBuffer);
    std::string command;
    std::string argument;
    if (!ports_in_range(argc, argv)) {
        return 1;
    }
    if (checkArgs(argc, argv) == 0) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    std::fflush(stdout);
    std::system("clear");

    UDP_Server_Service service(to_int(argv[3]), argv[1], to_int(argv[2]));
    int stop = 0;
    while (stop == 0) {
        const int waiting = kbhit();
        if (waiting != 0 && getch() == kEnter) {
            stop = run_command(service, command, argument);
        }
        if (stop == 0) {
            std::fflush(stdout);
            service.wait_for_data(waiting < 0 ? kHeadlessWaitMs : kKeyboardWaitMs);
        }
        // Polled in every turn, also the one that stops: a vector already
        // waiting is still received and answered.
        if (service.recieve_data() == 0) {
            stop = 1;
        }
    }
    std::puts("\nTerminating program normally...");
    return 0;
}
