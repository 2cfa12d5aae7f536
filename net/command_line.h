// Reading command lines: shared by lanlink and lanlink-send.
#ifndef LANLINK_NET_COMMAND_LINE_H
#define LANLINK_NET_COMMAND_LINE_H

#include <string>

namespace cli {

// A whole decimal number from `low` to `high` (no sign of its own but a
// minus, no other characters), or false.
bool whole_number(const char* text, int low, int high, int& value);

// The option that getopt_long() just read, as the user wrote it: "--count"
// or "-c" (its value, `optarg`, given in the same word or the next).
std::string written_option(char** argv, int letter);

}  // namespace cli

#endif  // LANLINK_NET_COMMAND_LINE_H
