// The open prompt (-p) on a terminal: the line editor, the window's size,
// a signal while a line is edited, and printouts arriving meanwhile.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "child.h"
#include "lanlink_e2e.h"
#include "peer.h"
#include "screen.h"
#include "udp.h"

namespace {

using e2e::Lanlink;
using e2e::LanlinkAnswer;
using std::chrono::milliseconds;
using testsupport::exit_code;
using testsupport::z;

// The open prompt on a terminal: "$ " at once, each line a command, with
// line editing, this run's history, pastes run line by line, an argument
// asked for with " > ", and Ctrl-D on an empty line as "exit".
TEST_F(Lanlink, TheOpenPromptRunsEveryLineTyped) {
    start({"-p"});
    const int side = other_side();
    // The prompt comes right after the start-up lines, without a key.
    EXPECT_TRUE(peer_->wait_for("$ "));
    EXPECT_EQ(peer_->take(), "");
    peer_->write("show_dext");
    peer_->write("\x7f\x7fst_info\n");  // two backspaces, then the rest
    const std::string dest =
        "Sending packets to 127.0.0.1 on port " + std::to_string(other_.port()) + "\r\n";
    EXPECT_TRUE(peer_->wait_for(dest + "$ "));
    peer_->write("\x1b[A\n");  // Up, Enter: the last line again
    EXPECT_TRUE(peer_->wait_for(dest + "$ "));
    peer_->write("\n");  // an empty line is not kept: Up still finds the command
    EXPECT_TRUE(peer_->wait_for("\r\n$ "));
    peer_->write("\x1b[A\n");
    EXPECT_TRUE(peer_->wait_for(dest + "$ "));
    std::vector<std::string> screen = testsupport::screen_lines(peer_->output());
    EXPECT_EQ(std::count(screen.begin(), screen.end(), "$ show_dest_info"), 3);
    peer_->write("Help\nstats\nsend\n");  // a paste: every line runs, in order
    EXPECT_TRUE(peer_->wait_for("Unknown command \"Help\": type help for the commands.\r\n$ "));
    EXPECT_TRUE(peer_->wait_for("datagrams refused: 0\r\ndatagrams cut to 512 bytes: 0\r\n$ "));
    EXPECT_TRUE(peer_->wait_for("send\r\n > "));
    peer_->write("  two words \n");
    EXPECT_TRUE(peer_->wait_for("Sent \"two words\" to 127.0.0.1 on port " +
                                std::to_string(other_.port()) + "\r\n$ "));
    expect_message("two words");
    peer_->write("x\x7f\x04");  // Ctrl-D once the line is empty again
    expect_end_with_terminal_restored(side);
}

// The line editor follows the window's size: once the window is narrowed,
// the line being edited is drawn again for the new width, and not before.
TEST_F(Lanlink, TheOpenPromptFollowsTheWindowSize) {
    start({"-p"});
    EXPECT_TRUE(peer_->wait_for("$ "));
    const std::size_t from = peer_->output().size();
    peer_->write("ab");
    EXPECT_TRUE(peer_->wait_for("ab"));
    EXPECT_EQ(peer_->output().substr(from), "ab");
    const winsize narrow{24, 20, 0, 0};
    ASSERT_EQ(ioctl(peer_->terminal(), TIOCSWINSZ, &narrow), 0);
    peer_->write("cd");
    EXPECT_TRUE(peer_->wait_for("$ abcd")) << peer_->output();
    peer_->write("\x15");  // Ctrl-U: the line emptied
    peer_->write("exit\n");
    EXPECT_EQ(exit_code(peer_->wait_exit()), 0);
}

// With standard input a terminal and output elsewhere, the prompt and the
// line being edited go to standard output, and standard error holds nothing.
TEST(LanlinkOpenPrompt, ItsLineGoesToStandardOutput) {
    const int port = testsupport::free_udp_port();
    std::vector<std::string> argv = e2e::command_line(port);
    argv.insert(argv.begin() + 1, {"-y", "-p"});
    testsupport::Child child(argv, testsupport::Input::kTerminalInput);
    ASSERT_TRUE(child.wait_for("$ "));
    child.write("help\n");
    ASSERT_TRUE(child.wait_for("stats - show what"));
    child.write("\x04");  // Ctrl-D on the empty line
    EXPECT_EQ(exit_code(child.wait_exit()), 0);
    EXPECT_EQ(child.errors(), "");
    EXPECT_NE(child.output().find("$ help\n"), std::string::npos) << child.output();
}

// Ctrl-Z and fg at the open prompt: the prompt and the line being typed are
// drawn again, and the line goes on from where it was.
TEST_F(Lanlink, TheOpenPromptComesBackAfterCtrlZAndFg) {
#ifdef LANLINK_THREAD_SANITIZED
    GTEST_SKIP() << "lanlink's Ctrl-Z handler cannot stop it under ThreadSanitizer";
#endif
    port_ = testsupport::free_udp_port();
    const std::string run = std::string(LANLINK_BINARY) + " -y -p 127.0.0.1 " +
                            std::to_string(other_.port()) + " " + std::to_string(port_);
    peer_ = std::make_unique<testsupport::Child>(
        std::vector<std::string>{"/bin/bash", "--norc", "--noprofile", "-c",
                                 "set -m; " + run + "; fg; echo \"status=$?\""},
        testsupport::Input::kTerminal);
    ASSERT_TRUE(peer_->wait_for("\r\n$ "));
    peer_->write("send ab");
    ASSERT_TRUE(peer_->wait_for("send ab"));
    peer_->write("\x1a");  // Ctrl-Z, and the shell's fg
    ASSERT_TRUE(peer_->wait_for("Stopped"));
    ASSERT_TRUE(peer_->wait_for("$ send ab"));
    peer_->write("c\n");
    expect_message("abc");
    peer_->write("exit\n");
    EXPECT_TRUE(peer_->wait_for("status=0"));
    EXPECT_TRUE(peer_->wait_exit());
}

// Killed while a line is being edited, the program gives the terminal back
// as it found it, not in the line editor's settings.
TEST_F(Lanlink, ASignalDuringTheOpenPromptRestoresTheTerminal) {
    start({"-p"});
    const int side = other_side();
    EXPECT_TRUE(peer_->wait_for("$ "));
    peer_->write("sen");
    EXPECT_TRUE(peer_->wait_for("sen"));
    ASSERT_TRUE(testsupport::wait_for_raw(peer_->terminal(), true));
    peer_->kill_now(SIGTERM);
    const auto status = peer_->wait_exit();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status));
    termios after{};
    ASSERT_EQ(tcgetattr(side, &after), 0);
    EXPECT_EQ(after.c_lflag, found_.c_lflag);
    close(side);
}

// Printouts that arrive while a line is edited go above it, and the line is
// shown again below them, never broken: every line of the screen is one
// the program meant to write. Every update is answered meanwhile.
TEST_F(LanlinkAnswer, TheLineBeingEditedSurvivesPrintoutsArriving) {
    start({"-p"});
    ASSERT_TRUE(peer_->wait_for("$ "));
    peer_->write("hel");
    ASSERT_TRUE(peer_->wait_for("hel"));
    for (int i = 0; i < 200; ++i) {
        other_.send_vector(static_cast<std::uint16_t>(port_), z("10.0.0." + std::to_string(i % 9)),
                           z(std::to_string(i)), z(i % 4 == 0 ? "update" : "hello"));
        if (i % 4 == 0) {
            ASSERT_TRUE(answered()) << i;
        }
        peer_->drain();
    }
    peer_->write("p\n");
    ASSERT_TRUE(peer_->wait_for("\t         stats - show what was received"));
    peer_->read_for(milliseconds(100));
    const std::vector<std::string> screen = testsupport::screen_lines(peer_->output());
    int prompts = 0;
    int printouts = 0;
    for (const std::string& line : screen) {
        if (line.find('$') != std::string::npos) {
            ++prompts;
            EXPECT_TRUE(line == "$ help" || line == "$") << "a prompt line: " << line;
        }
        if (line.find("Packet a") != std::string::npos) {
            ++printouts;
            EXPECT_EQ(line, "Packet array incoming!");
        }
        if (line.find("IP:") != std::string::npos) {
            EXPECT_EQ(line.substr(0, line.size() - 1), "\t  IP: 10.0.0.") << line;
        }
        if (line.find("MSG:") != std::string::npos) {
            EXPECT_TRUE(line == "\t MSG: hello" || line == "\t MSG: update") << line;
        }
    }
    EXPECT_EQ(printouts, 200);
    EXPECT_EQ(prompts, 2);
    EXPECT_EQ(testsupport::kernel_drops(static_cast<std::uint16_t>(port_)), 0UL);

    // A quit while a line is typed: the line is taken off the screen for
    // good, the quit's printout and the end take its place, and keys typed
    // just before are not left for the shell.
    const int side = other_side();
    const std::size_t from = peer_->output().size();
    peer_->write("sho");
    ASSERT_TRUE(peer_->wait_for("sho"));
    peer_->kill_now(SIGSTOP);  // the keys and the quit come while it is held up
    peer_->write("w_d");
    send_vector("quit");
    peer_->kill_now(SIGCONT);
    expect_end_with_terminal_restored(side);
    const std::vector<std::string> end = testsupport::screen_lines(peer_->output().substr(from));
    EXPECT_EQ(std::count_if(end.begin(), end.end(),
                            [](const std::string& line) { return line.find("sho") != line.npos; }),
              0);
    EXPECT_NE(std::find(end.begin(), end.end(), "Server recieved \"quit\" signal from client!"),
              end.end());
}

}  // namespace
