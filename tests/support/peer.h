// A running lanlink on a pseudo-terminal, its arguments confirmed.
#ifndef LANLINK_TESTS_SUPPORT_PEER_H
#define LANLINK_TESTS_SUPPORT_PEER_H

#include <memory>
#include <string>

#include "child.h"

namespace testsupport {

// Starts `binary` listening on `port`, answers the confirmation and waits
// for the start-up to finish; null when it did not start.
std::unique_ptr<Child> start_peer(const std::string& binary, int port);

}  // namespace testsupport

#endif  // LANLINK_TESTS_SUPPORT_PEER_H
