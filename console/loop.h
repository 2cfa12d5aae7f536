// The command loop, in the three forms commands come in: the classic
// prompt (a key, then Enter, opens it for one command), the open prompt on
// a terminal, and lines from a pipe or a file.
#ifndef LANLINK_CONSOLE_LOOP_H
#define LANLINK_CONSOLE_LOOP_H

#include "commands.h"
#include "line_reader.h"
#include "output.h"
#include "renderer.h"
#include "waiter.h"

class UDP_Server_Service;

namespace console {

// What the loop works with; all of it lanlink_main's.
struct Loop {
    UDP_Server_Service& service;
    Waiter& waiter;
    Output& output;
    Renderer& renderer;
    Line_Reader& input;       // standard input's lines, for a pipe or a file
    int failed_commands = 0;  // from a pipe or a file: refused or failed
};

// One turn at the classic prompt: wait for a key while serving the socket;
// the key after it decides, and Enter opens the prompt for one command.
Outcome classic_turn(Loop& loop);
// The open prompt on a terminal, until the work ends.
Outcome open_prompt(Loop& loop);
// Commands from a pipe or a file, one a line, until its end, which ends
// the program as "exit" does; unless `end_ends` is false: the input is
// then no longer read, and kGoOn returned for the socket to be served alone.
Outcome commands_from_input(Loop& loop, bool end_ends = true);

}  // namespace console

#endif  // LANLINK_CONSOLE_LOOP_H
