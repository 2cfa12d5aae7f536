// The operator console: argument check, help text and the command loop.
#ifndef LANLINK_CONSOLE_CONSOLE_H
#define LANLINK_CONSOLE_CONSOLE_H

// Shows the three arguments and asks the operator to confirm them: 1 when
// they are accepted, 0 when too few were given or the answer is "n" or "N".
// The answer is the first word of one line; an empty line or end of input
// takes the default, yes.
int checkArgs(int argc, char** argv);

void displayHelp();

// The whole program: confirmation, service start-up, the command loop and
// shut-down. Returns the exit status.
int lanlink_main(int argc, char** argv);

#endif  // LANLINK_CONSOLE_CONSOLE_H
