#include "commands.h"

#include "command_line.h"
#include "output.h"
#include "udp_server_service.h"

namespace console {

namespace {

bool takes_argument(const std::string& command) {
    return command == "send" || command == "set_ip" || command == "set_port";
}

}  // namespace

Commands::Commands(UDP_Server_Service& service, Renderer& renderer, const Text_Out& out,
                   bool prompts)
    : service_(service), renderer_(renderer), out_(out), prompts_(prompts) {}

Outcome Commands::take(const Words& line) {
    if (line.empty()) {
        return Outcome::kGoOn;
    }
    if (awaiting()) {
        const std::string command = std::move(pending_);
        pending_.clear();
        return run(command, command == "send" ? line.rest(0) : line.at(0));
    }
    const std::string& command = line.at(0);
    if (!takes_argument(command)) {
        return run(command, {});
    }
    if (line.size() == 1) {
        pending_ = command;
        return Outcome::kGoOn;
    }
    if (prompts_) {
        renderer_.prompt(Prompt::kAnswered);
    }
    return run(command, command == "send" ? line.rest(1) : line.at(1));
}

Outcome Commands::run(const std::string& command, const std::string& argument) {
    if (command == "send") {
        // "quit" goes to the other peer too before this program ends.
        if (service_.send_message(argument) == 0) {
            ++failures_;
        }
        if (argument == "quit") {
            renderer_.client_quit(argument);
            return Outcome::kOperatorEnded;
        }
    } else if (command == "help") {
        renderer_.help();
    } else if (command == "stats") {
        renderer_.stats(service_.counters(), out_.not_shown());
    } else if (command == "exit") {
        return Outcome::kOperatorEnded;
    } else if (command == "set_ip") {
        if (service_.resolve_dest_address(argument.c_str()) == 0) {
            ++failures_;
            renderer_.destination_fatal();
            return Outcome::kDestinationFailed;
        }
    } else if (command == "set_port") {
        // A port text is a whole decimal number; anything else is refused,
        // never read as 0. A port outside 0..65535 is refused (-1) and
        // changes nothing.
        const std::optional<int> port = cli::whole_number(argument);
        const int resolved = port ? service_.resolve_dest_address(*port) : -1;
        if (!port) {
            renderer_.port_not_a_number(argument, service_.destination());
        }
        failures_ += resolved == 1 ? 0 : 1;
        if (resolved == 0) {
            renderer_.destination_fatal();
            return Outcome::kDestinationFailed;
        }
    } else if (command == "show_dest_info") {
        service_.show_dest_info();
    } else {
        ++failures_;
        renderer_.unknown_command(command);
    }
    return Outcome::kGoOn;
}

}  // namespace console
