#include "commands.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "console.h"
#include "output.h"
#include "slot_text.h"
#include "udp_server_service.h"
#include "waiter.h"

namespace console {

namespace {

constexpr const char* kFatalLine = "\nAn Error has occurred! The program must exit.";

bool takes_argument(const std::string& command) {
    return command == "send" || command == "set_ip" || command == "set_port";
}

// A port text is a whole decimal number, with an optional sign; anything
// else is refused, never read as 0.
bool whole_number(const std::string& text) {
    std::size_t at = text[0] == '-' || text[0] == '+' ? 1 : 0;
    if (at == text.size()) {
        return false;
    }
    for (; at < text.size(); ++at) {
        if (text[at] < '0' || text[at] > '9') {
            return false;
        }
    }
    return true;
}

void show_stats(const UDP_Server_Service& service) {
    const Peer_Counters counts = service.counters();
    const std::pair<const char*, unsigned long long> lines[] = {
        {"vectors received", counts.vectors_received},
        {"incomplete vectors", counts.incomplete_vectors},
        {"updates answered", counts.updates_answered},
        {"vectors sent", counts.vectors_sent},
        {"datagrams dropped", counts.datagrams_dropped},
        {"printouts not shown", printouts_not_shown()},
        {"datagrams refused", counts.datagrams_refused},
    };
    for (const auto& [name, value] : lines) {
        std::printf("%s: %llu\n", name, value);
    }
}

}  // namespace

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

// What clear prints is taken from a pipe and queued like any other output,
// so that a terminal that is not reading cannot hold the program up here
// either; a terminal it cannot clear is left as it is. Anywhere else (a file,
// a pipe) its escapes would only be noise.
void clear_screen() {
    if (isatty(STDOUT_FILENO) != 1) {
        return;
    }
    std::fflush(stdout);
    FILE* clear = popen("clear 2>/dev/null", "r");
    if (clear == nullptr) {
        return;
    }
    char bytes[256];
    std::size_t got = 0;
    while ((got = std::fread(bytes, 1, sizeof bytes, clear)) > 0) {
        std::fwrite(bytes, 1, got, stdout);
    }
    pclose(clear);
}

Commands::Commands(UDP_Server_Service& service, bool prompts)
    : service_(service), prompts_(prompts) {}

Outcome Commands::take(std::string_view line) {
    const std::vector<std::string> words = words_of(line);
    if (words.empty()) {
        return Outcome::kGoOn;
    }
    if (awaiting()) {
        const std::string command = std::move(pending_);
        pending_.clear();
        return run(command, command == "send" ? rest_of_line(line, 0) : words.front());
    }
    const std::string& command = words.front();
    if (!takes_argument(command)) {
        return run(command, {});
    }
    if (words.size() == 1) {
        pending_ = command;
        return Outcome::kGoOn;
    }
    if (prompts_) {
        std::fputs(" > ", stdout);
    }
    return run(command, command == "send" ? rest_of_line(line, 1) : words.at(1));
}

Outcome Commands::run(const std::string& command, const std::string& argument) {
    if (command == "send") {
        // "quit" goes to the other peer too before this program ends.
        service_.send_message(argument);
        if (argument == "quit") {
            clear_screen();
            std::printf("msg = %s\n", argument.c_str());
            std::puts("\nClient sent \"quit\" command!");
            return Outcome::kStop;
        }
    } else if (command == "help") {
        displayHelp();
    } else if (command == "stats") {
        show_stats(service_);
    } else if (command == "exit") {
        return Outcome::kStop;
    } else if (command == "set_ip") {
        if (service_.resolve_dest_address(argument.c_str()) == 0) {
            std::puts(kFatalLine);
            return Outcome::kFailed;
        }
    } else if (command == "set_port") {
        if (!whole_number(argument)) {
            service_.refuse_port(argument);
        } else if (service_.resolve_dest_address(to_int(argument.c_str())) == 0) {
            // A port outside 0..65535 is refused (-1) and changes nothing.
            std::puts(kFatalLine);
            return Outcome::kFailed;
        }
    } else if (command == "show_dest_info") {
        service_.show_dest_info();
    } else {
        std::printf("Unknown command \"%s\": type help for the commands.\n",
                    wire::escape_controls(command).c_str());
    }
    return Outcome::kGoOn;
}

}  // namespace console
