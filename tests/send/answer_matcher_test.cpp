// Which request an answer belongs to: only three datagrams in slot order
// that echo a waiting request's texts, whatever comes around them.
#include "answer_matcher.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

std::string nine(const std::string& text) {
    return Answer_Matcher::echoed(text);
}

TEST(AnswerMatcher, OnlyAnEchoInSlotOrderAnswersAWaitingRequest) {
    struct Case {
        const char* name;
        std::vector<std::string> datagrams;
        std::vector<int> matched;  // the request each datagram completed, -1 for none
    };
    const std::string a = nine("127.0.0.1");
    const std::string up = nine("up_resp");
    const std::vector<Case> cases = {
        {"the answer to the first", {a, nine("5000"), up}, {-1, -1, 0}},
        {"to the second, after a stray", {"x", a, nine("5001"), up}, {-1, -1, -1, 1}},
        {"rotated, then whole",
         {nine("5000"), up, a, a, nine("5000"), up},
         {-1, -1, -1, -1, -1, 0}},
        {"another address", {nine("10.9.9.9"), nine("5000"), up}, {-1, -1, -1}},
        {"a port no request sent", {a, nine("6000"), up}, {-1, -1, -1}},
        {"forgotten", {a, nine("5002"), up}, {-1, -1, -1}},
        {"answered once only", {a, nine("5000"), up, a, nine("5000"), up}, {-1, -1, 0, -1, -1, -1}},
        {"a long text, cut to nine",
         {nine("127.0.0.1"), std::string("500012345", 9), up},
         {-1, -1, 3}},
    };
    for (const Case& c : cases) {
        Answer_Matcher matcher;
        matcher.expect(0, "127.0.0.1", "5000");
        matcher.expect(1, "127.0.0.1", "5001");
        matcher.expect(2, "127.0.0.1", "5002");
        matcher.expect(3, "127.0.0.1", "5000123456789");
        matcher.forget(2);
        std::vector<int> got;
        for (const std::string& datagram : c.datagrams) {
            got.push_back(matcher.take(datagram).value_or(-1));
        }
        EXPECT_EQ(got, c.matched) << c.name;
    }
    EXPECT_EQ(nine("up_resp"), std::string("up_resp\0\0", 9));
}

}  // namespace
