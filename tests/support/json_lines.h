// A peer's --json output read back: each line parsed, its members as texts.
#ifndef LANLINK_TESTS_SUPPORT_JSON_LINES_H
#define LANLINK_TESTS_SUPPORT_JSON_LINES_H

#include <map>
#include <string>
#include <vector>

#include "peer.h"

namespace testsupport {

// One line's members: strings as they are, numbers in decimal, true and
// false as words, arrays as their members joined by ",".
using Json_Line = std::map<std::string, std::string>;

// Every line of `out`, which must each be one JSON object, and end with a
// line end: a line that is not fails the test.
std::vector<Json_Line> json_lines(const std::string& out);

// The sum of the "count" members of the lines of `event`.
long json_count(const std::vector<Json_Line>& lines, const std::string& event);

// The vectors, whole and incomplete, in order: a slot that did not come is
// empty.
std::vector<Printout> json_printouts(const std::vector<Json_Line>& lines);

// The vectors a peer told in `out`, as text or as JSON Lines, in order;
// and the datagrams it told as dropped by the system.
std::vector<Printout> printouts_in(const std::string& out, bool json);
long told_drops(const std::string& out, bool json);
// The same for the datagrams set aside after a loss.
long told_set_aside(const std::string& out, bool json);

}  // namespace testsupport

#endif  // LANLINK_TESTS_SUPPORT_JSON_LINES_H
