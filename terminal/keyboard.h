// Single-key input from the terminal on standard input.
#ifndef LANLINK_TERMINAL_KEYBOARD_H
#define LANLINK_TERMINAL_KEYBOARD_H

// Number of bytes waiting on standard input, without waiting and without
// reading them (bytes of an unfinished line count too); -1 when the terminal
// cannot be polled, for instance when standard input is not a terminal.
int kbhit();

// Flushes standard output, discards input already waiting, waits for the
// next key and returns it without echo as 0..255; -1 at end of input, on an
// error or when standard input is not a terminal.
int getch();

#endif  // LANLINK_TERMINAL_KEYBOARD_H
