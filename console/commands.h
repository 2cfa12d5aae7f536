// The console's commands, run from whole lines, whichever way the lines
// come: the classic prompt, the open prompt or a pipe.
#ifndef LANLINK_CONSOLE_COMMANDS_H
#define LANLINK_CONSOLE_COMMANDS_H

#include <string>
#include <string_view>

class UDP_Server_Service;

namespace console {

// How a turn of the loop ended. kStop: a command ended the loop; kPeerQuit:
// the other peer did; kFailed: as kStop, but the program's status is 1.
enum class Outcome { kGoOn, kStop, kPeerQuit, kFailed, kOutputFailed };

class Commands {
  public:
    // `prompts`: " > " is shown before a command's own output when its
    // argument is on its line, as a prompt would have been.
    Commands(UDP_Server_Service& service, bool prompts);

    // One line. Its first word is the command; the argument of set_ip and
    // set_port is the next word, and send's message the rest of the line.
    // When the argument is not on the line, the command waits for it:
    // awaiting() is true, and the next line with a word is the argument.
    // A line without a word changes nothing. What is left of a line is
    // dropped.
    Outcome take(std::string_view line);
    bool awaiting() const { return !pending_.empty(); }

  private:
    Outcome run(const std::string& command, const std::string& argument);

    UDP_Server_Service& service_;
    bool prompts_;
    std::string pending_;  // the command whose argument is still to come
};

// atoi's reading of a number (text that is not a number gives 0), with
// values beyond int held at its limits instead of overflowing.
int to_int(const char* text);

// The shell's "clear", when standard output is a terminal; what it
// complains of is not shown.
void clear_screen();

}  // namespace console

#endif  // LANLINK_CONSOLE_COMMANDS_H
