// The console's commands, run from lines split into words, whichever way
// the lines come: the classic prompt, the open prompt or a pipe.
#ifndef LANLINK_CONSOLE_COMMANDS_H
#define LANLINK_CONSOLE_COMMANDS_H

#include <string>

#include "renderer.h"
#include "words.h"

class UDP_Server_Service;

namespace console {

class Text_Out;

// How the console's work ended: kGoOn while it goes on; kOperatorEnded
// (exit, send quit, end of input) and kDestinationFailed (status 1) are the
// operator's; kPeerQuit the other peer's; kOutputFailed and kWaitFailed the
// program's own failures.
enum class Outcome {
    kGoOn,
    kOperatorEnded,
    kDestinationFailed,
    kPeerQuit,
    kOutputFailed,
    kWaitFailed,
    kSignalled,  // an ending signal: the program ends by it, after the way out
};

class Commands {
  public:
    // `prompts`: " > " is shown before a command's own output when its
    // argument is on its line, as a prompt would have been.
    Commands(UDP_Server_Service& service, Renderer& renderer, const Text_Out& out, bool prompts);

    // One line. Its first word is the command; the argument of set_ip and
    // set_port is the next word, and send's message the rest of the line.
    // When the argument is not on the line, the command waits for it:
    // awaiting() is true, and the next line with a word is the argument.
    // A line without a word changes nothing. What is left of a line is
    // dropped.
    Outcome take(const Words& line);
    bool awaiting() const { return !pending_.empty(); }
    // Commands refused or failed so far: an unknown word, a refused value,
    // a send that did not go out, a destination that could not be resolved.
    int failures() const { return failures_; }

  private:
    Outcome run(const std::string& command, const std::string& argument);

    UDP_Server_Service& service_;
    Renderer& renderer_;
    const Text_Out& out_;
    bool prompts_;
    std::string pending_;  // the command whose argument is still to come
    int failures_ = 0;
};

}  // namespace console

#endif  // LANLINK_CONSOLE_COMMANDS_H
