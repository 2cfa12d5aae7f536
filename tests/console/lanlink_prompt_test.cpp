// The classic prompt on a terminal: a key, then Enter, opens it; its
// commands, the ways the program ends from it or from the peer, and
// received texts shown so that they cannot drive the terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "child.h"
#include "lanlink_e2e.h"
#include "lanlink_run.h"
#include "udp.h"

namespace {

using e2e::Lanlink;
using std::chrono::milliseconds;
using testsupport::Child;
using testsupport::exit_code;
using testsupport::expect_idle_costs_nothing;
using testsupport::Input;
using testsupport::kHelp;
using testsupport::kShutdown;
using testsupport::plain;
using testsupport::z;

TEST_F(Lanlink, ThePromptNeedsAKeyFollowedByEnter) {
    start();
    // A command typed straight away is taken as the first key and dropped.
    peer_->write("help\n");
    EXPECT_EQ(peer_->read_for(milliseconds(150)).find('$'), std::string::npos);
    // Enter once is taken as the first key; the second Enter opens the prompt.
    ASSERT_TRUE(testsupport::wait_for_raw(peer_->terminal(), true));
    peer_->write("\n");
    EXPECT_TRUE(peer_->wait_for("\r\n$ "));
    peer_->write("\n");  // an empty line: the prompt goes on waiting
    ASSERT_TRUE(peer_->wait_for("\r\n"));
    peer_->write("show_dest_info\n");
    ASSERT_TRUE(peer_->wait_for("Sending packets to 127.0.0.1"));
    expect_idle_costs_nothing(*peer_);

    // What arrives with the Enter that opens the prompt (a paste) is
    // dropped, not run.
    peer_->write("x");
    ASSERT_TRUE(testsupport::wait_for_raw(peer_->terminal(), true));
    peer_->write("\nhelp\n");
    EXPECT_TRUE(peer_->wait_for("\r\n$ "));
    EXPECT_EQ(peer_->read_for(milliseconds(150)).find("Help"), std::string::npos);
    peer_->write("exit\n");
    expect_normal_end();
}

std::string unknown(const std::string& word) {
    return "Unknown command \"" + word + "\": type help for the commands.\n";
}

// Unknown words are answered; send's message is the rest of its line, on
// the command's line or at " > ", without its outer blanks.
TEST_F(Lanlink, HelpUnknownWordsAndMessagesOfManyWords) {
    start();
    const std::string to = " to 127.0.0.1 on port " + std::to_string(other_.port()) + "\n";
    EXPECT_EQ(command("help"), std::string("help\n") + kHelp);
    EXPECT_EQ(command("Help"), "Help\n" + unknown("Help"));
    EXPECT_EQ(command(std::string(300, 'w') + "\x1b"),
              std::string(300, 'w') + "^[\n" + unknown(std::string(300, 'w') + "\\x1b"));
    EXPECT_EQ(command("send hello"), "send hello\n > Sent \"hello\"" + to);
    expect_message("hello");
    EXPECT_EQ(command("send   two words\t  here  "),
              "send   two words\t  here  \n > Sent \"two words\\x09  here\"" + to);
    expect_message("two words\t  here");
    EXPECT_EQ(command("send"), "send\n > ");
    peer_->write("  quit now \n");
    EXPECT_TRUE(peer_->wait_for("Sent \"quit now\"" + to.substr(0, to.size() - 1) + "\r\n"));
    expect_message("quit now");  // a message like any other: the program goes on
    EXPECT_EQ(command("show_dest_info"), "show_dest_info\nSending packets to 127.0.0.1 on port " +
                                             std::to_string(other_.port()) + "\n");
}

// Whatever follows a command (and its argument) on its line is dropped, never
// run later; a zero byte ends a word.
TEST_F(Lanlink, CommandsAreLines) {
    start();
    EXPECT_EQ(command("help exit"), std::string("help exit\n") + kHelp);
    EXPECT_EQ(command(std::string("show_dest_info\0exit", 19)),
              "show_dest_info^@exit\nSending packets to 127.0.0.1 on port " +
                  std::to_string(other_.port()) + "\n");
    EXPECT_EQ(command("set_port 5000 exit"),
              "set_port 5000 exit\n > Setting destination port 5000 @ 127.0.0.1...Success!\n");
    // Empty lines are skipped, as a word read skips them.
    EXPECT_EQ(command("\n\nHelp exit"), "\n\nHelp exit\n" + unknown("Help"));
    EXPECT_EQ(exit_code(peer_->wait_exit(milliseconds(100))), -1);  // still running
}

TEST_F(Lanlink, DestinationCommands) {
    start();
    const std::string other = std::to_string(other_.port());
    EXPECT_EQ(command("show_dest_info"),
              "show_dest_info\nSending packets to 127.0.0.1 on port " + other + "\n");
    EXPECT_EQ(command("set_ip 192.168.100.200"),
              "set_ip 192.168.100.200\n > Resolving new destination IP @ 192.168.100.200 on port " +
                  other + "...Success!\n");
    EXPECT_EQ(command("set_port"), "set_port\n > ");
    peer_->write("5000\n");
    EXPECT_TRUE(peer_->wait_for("Setting destination port 5000 @ 192.168.100.200...Success!\r\n"));
    EXPECT_EQ(command("show_dest_info"),
              "show_dest_info\nSending packets to 192.168.100.200 on port 5000\n");
    // Not a number, or out of range: refused, nothing changes, and the
    // program goes on.
    const std::string stays = " the destination stays 192.168.100.200 on port 5000.\n";
    for (const char* text : {"abc", "12x", "-", "x4556"}) {
        EXPECT_EQ(command(std::string("set_port ") + text),
                  std::string("set_port ") + text + "\n > Port \"" + text +
                      "\" is not a whole decimal number:" + stays);
    }
    EXPECT_EQ(command("set_port 70000"),
              "set_port 70000\n > Port 70000 is outside 0 to 65535:" + stays);
    EXPECT_EQ(command("set_port -5"), "set_port -5\n > Port -5 is outside 0 to 65535:" + stays);
    EXPECT_EQ(command("set_port " + std::string(400, '9')),
              "set_port " + std::string(400, '9') +
                  "\n > Port 2147483647 is outside 0 to 65535:" + stays);
    EXPECT_EQ(command("show_dest_info"),
              "show_dest_info\nSending packets to 192.168.100.200 on port 5000\n");
}

// The program ends as it always did, but says with its status that it failed.
TEST_F(Lanlink, AnUnresolvableAddressEndsTheProgramWithStatusOne) {
    start();
    ASSERT_NO_FATAL_FAILURE(open_prompt());
    const std::string name = "a.." + std::string(600, 'q');
    peer_->write("set_ip " + name + "\n");
    EXPECT_TRUE(peer_->wait_for("FAILED!\r\nSDLNet_ResolveHost(" + name + " " +
                                std::to_string(other_.port()) +
                                "): the name is not a known host or numeric address\r\n"));
    EXPECT_TRUE(peer_->wait_for("\r\nAn Error has occurred! The program must exit.\r\n"));
    EXPECT_TRUE(peer_->wait_for("terminating server...Done!\r\n"));
    EXPECT_EQ(exit_code(peer_->wait_exit()), 1);
}

TEST_F(Lanlink, ExitEndsTheProgram) {
    start();
    ASSERT_NO_FATAL_FAILURE(open_prompt());
    const std::size_t from = peer_->output().size();
    peer_->write("exit\n");
    expect_normal_end();
    EXPECT_EQ(plain(peer_->output().substr(from)), std::string("exit\n") + kShutdown);
}

// On a terminal that "clear" knows, the screen is cleared after the Sent
// line and before the quit lines.
TEST_F(Lanlink, SendQuitEndsTheProgram) {
    port_ = testsupport::free_udp_port();
    peer_ = std::make_unique<Child>(
        std::vector<std::string>{"/usr/bin/env", "TERM=xterm", LANLINK_BINARY, "127.0.0.1",
                                 std::to_string(other_.port()), std::to_string(port_)},
        Input::kTerminal);
    ASSERT_TRUE(peer_->wait_for("[Y/n] "));
    peer_->write("y\n");
    ASSERT_TRUE(peer_->wait_for("recieving packets...Success!\r\n\r\n"));
    ASSERT_NO_FATAL_FAILURE(open_prompt());
    const std::size_t from = peer_->output().size();
    peer_->write("send quit\n");
    expect_normal_end();
    EXPECT_EQ(plain(peer_->output().substr(from)),
              "send quit\n > Sent \"quit\" to 127.0.0.1 on port " + std::to_string(other_.port()) +
                  "\n\x1b[H\x1b[2J\x1b[3Jmsg = quit\n\nClient sent \"quit\" command!\n" +
                  std::string(kShutdown));
    expect_message("quit");  // the other peer is told too
}

TEST_F(Lanlink, EndOfInputAtThePromptEndsTheProgram) {
    start();
    ASSERT_NO_FATAL_FAILURE(open_prompt());
    peer_->write("\x04");  // the terminal's end-of-file key
    expect_normal_end();
}

TEST_F(Lanlink, QuitFromThePeerEndsTheProgram) {
    start();
    const std::size_t from = peer_->output().size();
    other_.send_vector(static_cast<std::uint16_t>(port_), z("10.0.0.2"), z("4555"), z("quit"));
    expect_normal_end();
    EXPECT_EQ(plain(peer_->output().substr(from)),
              "Packet array incoming!\n\t  IP: 10.0.0.2\n\tPORT: 4555\n\t MSG: quit\n"
              "\nServer recieved \"quit\" signal from client!\n" +
                  std::string(kShutdown));
}

TEST_F(Lanlink, ReceivedTextsCannotDriveTheTerminal) {
    start();
    other_.send_vector(static_cast<std::uint16_t>(port_), "\x1b]0;owned\x07", std::string(512, '7'),
                       "\x1b[2J");
    ASSERT_TRUE(peer_->wait_for("\t MSG: \\x1b[2J\r\n"));
    EXPECT_NE(peer_->output().find(
                  "\t  IP: \\x1b]0;owned\\x07\r\n\tPORT: " + std::string(512, '7') + "\r\n"),
              std::string::npos);
    // 8-bit controls (raw, or as UTF-8) and broken UTF-8 are shown escaped;
    // real UTF-8 text is shown as it is.
    other_.send_vector(static_cast<std::uint16_t>(port_),
                       "\x9b"
                       "2J",
                       "\xc2\x9b"
                       "31m\xff",
                       z("h\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac"));
    EXPECT_TRUE(
        peer_->wait_for("\t  IP: \\x9b2J\r\n\tPORT: \\xc2\\x9b31m\\xff\r\n"
                        "\t MSG: h\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac\r\n"));
    EXPECT_EQ(peer_->output().find('\x1b'), std::string::npos);
    EXPECT_EQ(peer_->output().find('\x9b'), std::string::npos);
}

}  // namespace
