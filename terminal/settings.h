// The terminal settings the program puts on standard input, and the signals
// that must not leave them behind. Each setting is a copy of the settings
// found on entry with a few changes; the found settings are kept where the
// signal handlers can reach them, so an ending signal puts them back first,
// and a stop (Ctrl-Z) puts them back while stopped and applies the changed
// ones again on resuming.
#ifndef LANLINK_TERMINAL_SETTINGS_H
#define LANLINK_TERMINAL_SETTINGS_H

#include <termios.h>

namespace terminal {

enum class Setting {
    kAnyKey,  // kbhit()'s: canonical mode off, so any single key can be read
    kOneKey,  // getch()'s: canonical mode and echo off, a read waits for one byte
};

// Applies `setting` with `action` (TCSANOW or TCSAFLUSH); 0 on success, -1
// when standard input is not a terminal or the program is not in its
// foreground (nothing is changed then).
int enter(Setting setting, int action);

// Puts the found settings back with `action`; 0 on success. In the
// background nothing is touched: the settings went back when the program
// was stopped, and the changed ones return only with the foreground.
int leave(int action);

// Whether the program may use the terminal on `fd` (standard input unless
// said otherwise): it is in the terminal's foreground process group, or
// the terminal is not its controlling terminal (job control does not apply
// then). Async-signal-safe.
bool foreground(int fd = 0);

// Settings that another part of the program (the line editor) put on
// standard input: `found` goes back on an ending signal or a stop, and
// `changed` returns on resuming, as for enter(). forget() when they are
// gone again.
void adopt(const termios& found, const termios& changed);
void forget();

// Installs the signal handlers that put the found settings back (on an
// ending signal and on Ctrl-Z) and that tell of a resume (SIGCONT) through
// wake_descriptor(); enter() does it too. Signals the caller ignored or
// handles stay as they are.
void install_signal_handlers();

// Catches SIGTERM, SIGINT and SIGHUP, where they have their default action:
// the first of them asks the program to end (ending_signal() says which, and
// wake_descriptor() becomes readable); a second of the same ends it at once,
// the terminal put back first. Signals the caller ignored stay ignored.
void catch_ending_signals();
// The ending signal caught, or 0.
int ending_signal();
// Ends the process by `sig`, by its default action.
[[noreturn]] void end_by(int sig);

// How many times the program has been resumed (SIGCONT) so far.
unsigned resumes();

// A descriptor that becomes readable when the program has been resumed
// (fg or bg), for a wait to look at where it now stands, or when an ending
// signal came; -1 before any handler is installed. clear_wake() reads it
// empty again.
int wake_descriptor();
void clear_wake();

// Discards input received but not yet read, without waiting for output to
// drain (TCSAFLUSH would wait on a terminal whose output is stopped).
void discard_input();

}  // namespace terminal

#endif  // LANLINK_TERMINAL_SETTINGS_H
