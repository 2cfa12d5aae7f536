// A running lanlink on a pseudo-terminal, its arguments confirmed.
#ifndef LANLINK_TESTS_SUPPORT_PEER_H
#define LANLINK_TESTS_SUPPORT_PEER_H

#include <termios.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "child.h"

namespace testsupport {

// Starts `binary` listening on `port`, sending to 127.0.0.1 `dest_port` and
// answering updates to 127.0.0.1 `answer_port` (0: where the program sends
// them unless told otherwise), answers the confirmation and
// waits for the start-up to finish; null when it did not start. `found`,
// when given, receives the terminal's settings as they were while the
// program waited for the confirmation, a moment when it cannot be changing
// them.
std::unique_ptr<Child> start_peer(const std::string& binary, int port, int dest_port,
                                  int answer_port, termios* found = nullptr,
                                  const std::vector<std::string>& options = {});

// With LANLINK_TEST_FAMILY=4 in the environment, "-4": the suite then runs
// the program as it is on IPv4 alone. Nothing otherwise.
std::vector<std::string> family_options();

// Whether the program under test listens on IPv6: this machine has it, and
// the suite does not run the program on IPv4 alone.
bool peer_has_ipv6();

// The option that sends a peer's update answers to 127.0.0.1 `port`.
std::vector<std::string> answer_to(int port);

// A key, then Enter once the program waits for the key after it: the prompt.
bool open_prompt(Child& peer);

// In a peer's output `out`: the printouts shown, and the printouts that its
// count lines say were not shown.
std::pair<int, long> shown_and_not_shown(const std::string& out);

// The numbers that start the lines of `out` in which `phrase` follows them,
// added up: what the drop lines (" dropped by the system"), the refusal
// lines or the not-shown lines tell.
long told_count(const std::string& out, std::string_view phrase);

// The texts of a printout: slot 0, 1 and 2 as shown.
struct Printout {
    std::string ip;
    std::string port;
    std::string msg;
};

// The vectors a peer printed in `out` (line ends "\n"), in order.
std::vector<Printout> printouts_in(const std::string& out);

}  // namespace testsupport

#endif  // LANLINK_TESTS_SUPPORT_PEER_H
