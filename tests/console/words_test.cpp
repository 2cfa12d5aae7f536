// Command lines: split into words once, the rest of a line for send's
// message, and lines taken from standard input as they come.
#include "words.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "child.h"
#include "line_reader.h"

namespace {

TEST(Words, SplitOnceWithTheRestOfTheLineForAMessage) {
    struct Case {
        std::string line;
        std::vector<std::string> words;
        std::string rest_after_one;
    };
    const std::vector<Case> cases = {
        {"", {}, ""},
        {" \t ", {}, ""},
        {"send hello there", {"send", "hello", "there"}, "hello there"},
        {"  send   two  words  ", {"send", "two", "words"}, "two  words"},
        {"set_ip\t10.0.0.2 extra", {"set_ip", "10.0.0.2", "extra"}, "10.0.0.2 extra"},
        {std::string("send a\0b c", 10), {"send", "a", "c"}, "a"},  // a zero ends the line's rest
        {std::string("x\0y", 3), {"x"}, ""},
    };
    for (const Case& c : cases) {
        const console::Words words(c.line);
        std::vector<std::string> got;
        for (std::size_t i = 0; i < words.size(); ++i) {
            got.push_back(words.at(i));
        }
        EXPECT_EQ(got, c.words) << c.line;
        EXPECT_EQ(words.rest(1), c.rest_after_one) << c.line;
        EXPECT_EQ(words.empty(), c.words.empty()) << c.line;
    }
    EXPECT_EQ(console::Words("  a  b ").rest(0), "a  b");
}

// Lines from a pipe in a child: whatever the reads bring, the lines come
// whole and in order, a last one without its end too, and a line longer
// than 64 KiB is kept to its first 64 KiB.
TEST(LineReader, LinesComeWholeWhateverTheReadsBring) {
    const std::string longest(std::size_t{64} * 1024, 'l');
    testsupport::Child child(
        [] {
            console::Line_Reader reader;
            std::string line;
            std::string seen;
            while (reader.fill()) {
                while (reader.next(line)) {
                    seen += "[" + std::to_string(line.size()) + ":" + line.substr(0, 8) + "]";
                }
            }
            if (reader.rest(line)) {
                seen += "{" + line + "}";
            }
            return write(STDERR_FILENO, seen.data(), seen.size()) > 0 ? 0 : 1;
        },
        testsupport::Input::kPipe);
    child.write("one\ntw");
    child.write("o\n\nthree");
    child.write("\n" + longest + "xyz\nlast");
    child.close_input();
    EXPECT_EQ(testsupport::exit_code(child.wait_exit()), 0);
    EXPECT_EQ(child.errors(), "[3:one][3:two][0:][5:three][65536:llllllll]{last}");
}

}  // namespace
