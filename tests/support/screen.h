// What a simple terminal shows after some output: enough of one to follow
// carriage returns, backspaces, line ends and erasing to the end of a line
// (a line editor's redrawing), so that a test can read the screen's lines.
#ifndef LANLINK_TESTS_SUPPORT_SCREEN_H
#define LANLINK_TESTS_SUPPORT_SCREEN_H

#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// The lines `output` leaves, trailing blanks removed. A tab takes one
// column, as the character it is; other escape sequences are skipped.
std::vector<std::string> screen_lines(std::string_view output);

}  // namespace testsupport

#endif  // LANLINK_TESTS_SUPPORT_SCREEN_H
