// Reading command lines and command words: shared by lanlink and lanlink-send.
#ifndef LANLINK_NET_COMMAND_LINE_H
#define LANLINK_NET_COMMAND_LINE_H

#include <optional>
#include <string>
#include <string_view>

namespace cli {

// The one reading of a whole number, for option values and command words
// alike: an optional sign (+ or -) and decimal digits, nothing else. A
// value beyond int is held at int's limit, so that a message can name it.
// Nothing when the text is not such a number.
std::optional<int> whole_number(std::string_view text);

// whole_number() from `low` to `high` into `value`, or false (and `value`
// unchanged). With `signed_ok` false, a sign is refused too.
bool whole_number(std::string_view text, int low, int high, int& value, bool signed_ok = true);

// atoi's reading of an operand: the number its text starts with (0 when
// none), held at int's limits instead of overflowing.
int leading_number(const char* text);

// The option that getopt_long() just read, as the user wrote it: "--count"
// or "-c" (its value, `optarg`, given in the same word or the next).
std::string written_option(char** argv, int letter);

}  // namespace cli

#endif  // LANLINK_NET_COMMAND_LINE_H
