// lanlink's command line: options first read and checked, the three
// operands left for the confirmation.
#ifndef LANLINK_CONSOLE_OPTIONS_H
#define LANLINK_CONSOLE_OPTIONS_H

#include <string>
#include <vector>

#include "render_text.h"
#include "udp_server_service.h"

namespace console {

struct Options {
    bool help = false;
    bool version = false;
    bool prompt = false;       // the prompt stays open (or commands come from a pipe)
    bool yes = false;          // no question: the arguments are taken as shown
    bool json = false;         // standard output is JSON Lines
    std::string key_file;      // -k: the shared key's file
    std::string new_key_file;  // --new-key: where to make one
    Peer_Settings peer;        // the window, who may talk, where answers go
    Text_Settings text;        // how much is said
    // The program's name, then the operands (other_ip, other_port,
    // listen_port and whatever follows them).
    std::vector<std::string> operands;
};

// Exit status of a refused command line.
constexpr int kOptionError = 1;

// Reads the command line into `options`. Options may come anywhere before
// "--". A refused option or value is told on standard error (through
// `out`) with the hint to --help: false then.
bool parse_options(int argc, char** argv, Options& options, Text_Out& out);

}  // namespace console

#endif  // LANLINK_CONSOLE_OPTIONS_H
