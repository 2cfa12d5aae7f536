// The helpers of lanlink_run.h bound to the built lanlink (LANLINK_BINARY),
// and the fixtures of the end-to-end tests that run it on a terminal.
#ifndef LANLINK_TESTS_CONSOLE_LANLINK_E2E_H
#define LANLINK_TESTS_CONSOLE_LANLINK_E2E_H

#include <chrono>
#include <string>
#include <vector>

#include "lanlink_run.h"

namespace e2e {

// lanlink listening on `port`, its destination and its answers the sink's
// unless the answers go to `answer_port`.
inline std::vector<std::string> command_line(int port, int answer_port = 0) {
    return testsupport::command_line(LANLINK_BINARY, port, answer_port);
}

// The same, as shell words.
inline std::string shell_command(int port, int answer_port = 0) {
    return testsupport::shell_command(LANLINK_BINARY, port, answer_port);
}

// lanlink headless with its standard output in a file.
class HeadlessToFile : public testsupport::HeadlessToFile {
  public:
    // Answers go to 127.0.0.1 `answer_port` (0: to the sink). With
    // `own_window`, the program's own window, not the tests' long one.
    explicit HeadlessToFile(int answer_port = 0, const std::string& options = "",
                            bool own_window = false)
        : testsupport::HeadlessToFile(LANLINK_BINARY, answer_port, options, own_window) {}
};

class Lanlink : public testsupport::LanlinkOnTerminal {
  protected:
    Lanlink() : LanlinkOnTerminal(LANLINK_BINARY) {}
};

// Tests that look at the program's update answers.
class LanlinkAnswer : public Lanlink {
  protected:
    // The three datagrams of one answer.
    bool answered() const {
        for (int i = 0; i < 3; ++i) {
            if (!answers_.receive(testsupport::patient())) {
                return false;
            }
        }
        return true;
    }
};

}  // namespace e2e

#endif  // LANLINK_TESTS_CONSOLE_LANLINK_E2E_H
