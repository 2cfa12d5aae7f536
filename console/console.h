// The operator console: argument check, help text and the command loop.
#ifndef LANLINK_CONSOLE_CONSOLE_H
#define LANLINK_CONSOLE_CONSOLE_H

#include <cstdio>
#include <string>

// Shows the three arguments and asks the operator to confirm them: 1 when
// they are accepted, 0 when too few were given or the answer is "n" or "N".
int checkArgs(int argc, char** argv);

void displayHelp();

// Reads one whitespace-delimited word of any length from `in`, as scanf's
// "%s" does, leaving the byte that ends it unread. False at end of input
// before a word began.
bool read_word(std::FILE* in, std::string& word);

// The whole program: confirmation, service start-up, the command loop and
// shut-down. Returns the exit status.
int lanlink_main(int argc, char** argv);

#endif  // LANLINK_CONSOLE_CONSOLE_H
