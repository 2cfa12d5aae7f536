// lanlink under Memcheck over a whole headless run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "child.h"
#include "lanlink_e2e.h"
#include "udp.h"

namespace {

using e2e::command_line;
using std::chrono::milliseconds;
using testsupport::Child;
using testsupport::exit_code;
using testsupport::Input;
using testsupport::LoopbackUdp;
using testsupport::z;

// Memcheck over a whole headless run: start-up, random datagrams, an
// answered update and a quit from the peer.
TEST(LanlinkMemcheckAnswer, NoErrorsAndNoLeaks) {
#ifdef LANLINK_SANITIZED
    GTEST_SKIP() << "valgrind cannot run a sanitizer build";
#endif
    if (access("/usr/bin/valgrind", X_OK) != 0) {
        GTEST_SKIP() << "valgrind is not installed";
    }
    const int port = testsupport::free_udp_port();
    std::vector<std::string> argv = {"/usr/bin/valgrind",           "--quiet",
                                     "--leak-check=full",           "--show-leak-kinds=all",
                                     "--errors-for-leak-kinds=all", "--error-exitcode=99"};
    for (const std::string& word : command_line(port)) {
        argv.push_back(word);
    }
    Child child(argv, Input::kNull);
    ASSERT_TRUE(child.wait_for("recieving packets...Success!\n\n", testsupport::patient()));
    const LoopbackUdp other;
    const auto to = static_cast<std::uint16_t>(port);
    // 600 random datagrams, sent as whole vectors so that the update and the
    // quit after them stay aligned however slowly the program reads.
    std::mt19937 random(11);
    const auto payload = [&random] {
        std::string bytes(random() % 600, '\0');
        for (char& c : bytes) {
            c = static_cast<char>(random());
        }
        return bytes;
    };
    for (int i = 0; i < 200; ++i) {
        other.send_vector(to, payload(), payload(), payload());
        if (i % 16 == 15) {
            child.read_for(milliseconds(20));
        }
    }
    other.send_vector(to, z("10.0.0.2"), z("4555"), z("update"));
    EXPECT_TRUE(child.wait_for("Update request complete.\n", testsupport::patient()));
    other.send_vector(to, z("10.0.0.2"), z("4555"), z("quit"));
    EXPECT_EQ(exit_code(child.wait_exit(testsupport::patient())), 0) << child.errors();
    EXPECT_EQ(child.errors(), "");
}

// The open prompt under Memcheck: a line of the history edited, left for
// another and the run ended. readline keeps its tables to the end (still
// reachable), but nothing is lost.
TEST(LanlinkMemcheckAnswer, TheOpenPromptLosesNothing) {
#ifdef LANLINK_SANITIZED
    GTEST_SKIP() << "valgrind cannot run a sanitizer build";
#endif
    if (access("/usr/bin/valgrind", X_OK) != 0) {
        GTEST_SKIP() << "valgrind is not installed";
    }
    const int port = testsupport::free_udp_port();
    std::vector<std::string> argv = {"/usr/bin/valgrind", "--quiet", "--leak-check=full",
                                     "--errors-for-leak-kinds=definite,indirect",
                                     "--error-exitcode=99"};
    for (const std::string& word : command_line(port)) {
        argv.push_back(word);
    }
    argv.insert(argv.begin() + 6, {"-y", "-p"});
    Child child(argv, Input::kTerminal);
    ASSERT_TRUE(child.wait_for("\r\n$ ", testsupport::patient()));
    child.write("help\n");
    ASSERT_TRUE(child.wait_for("stats - show what"));
    ASSERT_TRUE(child.wait_for("$ "));
    child.write("\x1b[A");  // Up: "help" again
    ASSERT_TRUE(child.wait_for("help"));
    child.write("\x7fx");  // edited
    ASSERT_TRUE(child.wait_for("x"));
    child.write("\x1b[B");  // Down: left for the new line
    child.write("stats\n");
    ASSERT_TRUE(child.wait_for("datagrams refused"));
    child.write("exit\n");
    EXPECT_EQ(exit_code(child.wait_exit(testsupport::patient())), 0) << child.output();
}

}  // namespace
