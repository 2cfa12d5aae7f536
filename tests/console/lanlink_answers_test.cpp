// lanlink's answers to updates, and output that cannot keep up: an output
// nobody reads, stopped with Ctrl-S or held while a line is typed never
// stops the answers; two peers together, stats, and hosts not allowed.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "child.h"
#include "lanlink_e2e.h"
#include "lanlink_run.h"
#include "peer.h"
#include "udp.h"

namespace {

using e2e::command_line;
using e2e::LanlinkAnswer;
using std::chrono::milliseconds;
using testsupport::Child;
using testsupport::exit_code;
using testsupport::flood_with_updates;
using testsupport::Input;
using testsupport::kShutdown;
using testsupport::LoopbackUdp;
using testsupport::plain;
using testsupport::send_big_vector;
using testsupport::sink;
using testsupport::z;

// Standard output a pipe that nobody reads: the answers never wait for it.
// What did not fit is counted, and the count comes before the end; the
// "quit" that ends the program is always shown, with its reason.
TEST(LanlinkHeadlessAnswer, AnOutputNobodyReadsNeverStopsTheAnswers) {
    const LoopbackUdp answers;
    const int port = testsupport::free_udp_port();
    Child child(command_line(port, answers.port()), Input::kNull);
    ASSERT_TRUE(child.wait_for("recieving packets...Success!\n\n"));
    const LoopbackUdp other;
    const int sent = flood_with_updates(other, port, answers, 300);
    for (int i = 0; i < 300; ++i) {
        send_big_vector(other, port);  // still nobody reads
        // Paced, so that a receive queue of the system's default size holds them.
        if (i % 20 == 19) {
            ASSERT_TRUE(testsupport::wait_until_read(static_cast<std::uint16_t>(port)));
        }
    }
    other.send_vector(static_cast<std::uint16_t>(port), z("1.2.3.4"), z("99"), z("quit"));
    EXPECT_EQ(exit_code(child.wait_exit(testsupport::patient())), 0);
    const std::string& out = child.output();
    const auto [shown, not_shown] = testsupport::shown_and_not_shown(out);
    EXPECT_GT(not_shown, 0);
    EXPECT_EQ(shown + not_shown, sent + 300 + 1);
    EXPECT_EQ(out.find("while a line was typed"), std::string::npos);  // nothing was
    const std::string quit = "\t MSG: quit\n\nServer recieved \"quit\" signal from client!\n";
    EXPECT_NE(out.find(quit), std::string::npos);
    const auto last_count = out.rfind(" not shown (standard output was not being read)\n");
    EXPECT_LT(last_count, out.find(kShutdown));
    EXPECT_NE(out.find(kShutdown), std::string::npos);
}

TEST_F(LanlinkAnswer, AStrayKeyPendingNeverStopsTheService) {
    start();
    const int side = other_side();
    peer_->write("x");  // and no Enter after it
    ASSERT_TRUE(testsupport::wait_for_raw(peer_->terminal(), true));
    send_vector("update");
    EXPECT_TRUE(answered());
    EXPECT_TRUE(peer_->wait_for("Update request complete.\r\n"));
    send_vector("quit");
    expect_end_with_terminal_restored(side);
}

// Output stopped with Ctrl-S: every update is still answered at once. What
// did not fit while the terminal was not reading is counted, and the count
// comes once output flows again (Ctrl-Q); the program then ends normally.
TEST_F(LanlinkAnswer, StoppedOutputNeverStopsTheAnswers) {
    start();
    termios settings{};
    ASSERT_EQ(tcgetattr(peer_->terminal(), &settings), 0);
    settings.c_iflag |= IXON;
    ASSERT_EQ(tcsetattr(peer_->terminal(), TCSANOW, &settings), 0);
    const int side = other_side();
    const std::size_t from = peer_->output().size();
    peer_->write("\x13");  // Ctrl-S
    const int sent = flood_with_updates(other_, port_, answers_, 300);
    peer_->write("\x11");  // Ctrl-Q
    ASSERT_TRUE(peer_->wait_for("not shown (standard output was not being read)\r\n",
                                testsupport::patient()));
    // The printouts after the count line may still be on their way.
    const auto by = std::chrono::steady_clock::now() + testsupport::patient();
    auto [shown, not_shown] = testsupport::shown_and_not_shown(peer_->output().substr(from));
    while (shown + not_shown < sent && std::chrono::steady_clock::now() < by) {
        peer_->read_for(milliseconds(50));
        std::tie(shown, not_shown) = testsupport::shown_and_not_shown(peer_->output().substr(from));
    }
    EXPECT_GT(not_shown, 0);
    EXPECT_EQ(shown + not_shown, sent);
    EXPECT_EQ(peer_->output().find("while a line was typed", from), std::string::npos);

    // A terminal that never reads again does not hold up the end either.
    peer_->write("\x13");
    for (int i = 0; i < 300; ++i) {
        send_big_vector(other_, port_);
        if (i % 20 == 19) {  // paced for a receive queue of the system's default size
            ASSERT_TRUE(testsupport::wait_until_read(static_cast<std::uint16_t>(port_)));
        }
    }
    send_vector("quit");
    EXPECT_EQ(exit_code(peer_->wait_exit(testsupport::patient())), 0);
    peer_->write("\x11");
    termios after{};
    ASSERT_EQ(tcgetattr(side, &after), 0);
    EXPECT_EQ(after.c_lflag, found_.c_lflag);
    close(side);
}

// Held while a line is typed, a flood's printouts are never written inside
// the line: what fits comes after it, with the count of the rest, ahead of
// the command's output. The socket is read all along: nothing is left to
// the kernel, and every update is answered.
TEST_F(LanlinkAnswer, ALineBeingTypedIsNeitherBlockedNorBroken) {
    start();
    ASSERT_NO_FATAL_FAILURE(open_prompt());
    peer_->write("hel");
    send_vector("update");
    EXPECT_TRUE(answered());
    const int sent = 1 + flood_with_updates(other_, port_, answers_, 300);
    EXPECT_EQ(testsupport::kernel_drops(static_cast<std::uint16_t>(port_)), 0UL);
    EXPECT_EQ(peer_->read_for(milliseconds(100)).find("Packet"), std::string::npos);
    peer_->write("p\n");
    EXPECT_TRUE(peer_->wait_for("p\r\nPacket array incoming!\r\n"));
    const std::string count_line =
        " vectors not shown (too many arrived while a line was typed)\r\n";
    ASSERT_TRUE(peer_->wait_for(count_line + "\r\n Help:\r\n", testsupport::patient()));
    const std::string out = peer_->output();
    const auto line_end = out.find(
        "hel"
        "p\r\n");
    const auto [shown, not_shown] = testsupport::shown_and_not_shown(out.substr(line_end));
    EXPECT_GT(not_shown, 0);
    EXPECT_EQ(shown + not_shown, sent);

    const int side = other_side();
    ASSERT_NO_FATAL_FAILURE(open_prompt());
    peer_->write("ex");
    send_vector("quit");
    EXPECT_TRUE(peer_->wait_for("ex\r\nPacket array incoming!\r\n"));
    expect_end_with_terminal_restored(side);
}

TEST_F(LanlinkAnswer, UpdateIsAnsweredOnTheAnswerPort) {
    start();
    other_.send_vector(static_cast<std::uint16_t>(port_), z("10.0.0.2"), z("4555"), z("update"));
    EXPECT_TRUE(peer_->wait_for("Update request complete.\r\n"));
    for (const std::string& expected :
         {std::string("10.0.0.2\0", 9), std::string("4555\0\0\0\0\0", 9),
          std::string("up_resp\0\0", 9)}) {
        const auto got = answers_.receive(testsupport::patient());
        ASSERT_TRUE(got);
        EXPECT_EQ(got->bytes, expected);
    }
    EXPECT_NE(peer_->output().find("\r\nip: 16777343\r\nhost: "), std::string::npos);

    // stats counts what came (lone datagrams among it), what was answered
    // and what was sent, each count its own.
    send_vector("update");
    send_vector("hello");
    for (int i = 0; i < 3; ++i) {
        const LoopbackUdp lone;
        lone.send(static_cast<std::uint16_t>(port_), z("lone"));
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(peer_->wait_for("\t  IP: lone\r\n\tPORT: \r\n\t MSG: \r\n")) << i;
    }
    for (const char* word : {"hi", "hi2", "hi3"}) {
        EXPECT_EQ(command(std::string("send ") + word),
                  std::string("send ") + word + "\n > Sent \"" + word + "\" to 127.0.0.1 on port " +
                      std::to_string(other_.port()) + "\n");
    }
    EXPECT_EQ(command("stats"),
              "stats\nvectors received: 6\nincomplete vectors: 3\nupdates answered: 2\n"
              "vectors sent: 3\ndatagrams dropped: 0\ndatagrams set aside after a loss: "
              "0\nprintouts not shown: 0\n"
              "datagrams refused: 0\ndatagrams cut to 512 bytes: 0\n");
}

TEST_F(LanlinkAnswer, ALoneDatagramAfterAnUpdateIsNotAnswered) {
    start();
    other_.send_vector(static_cast<std::uint16_t>(port_), z("10.0.0.2"), z("4555"), z("update"));
    ASSERT_TRUE(peer_->wait_for("Update request complete.\r\n")) << peer_->output();
    answers_.drain();
    other_.send(static_cast<std::uint16_t>(port_), "127.0.0.1");  // nine bytes, no zero
    EXPECT_TRUE(peer_->wait_for("\t  IP: 127.0.0.1\r\n\tPORT: \r\n\t MSG: \r\n"));
    EXPECT_EQ(peer_->read_for(milliseconds(50)).find("Recieved update"), std::string::npos);
    EXPECT_FALSE(answers_.receive(milliseconds(50)));
}

// Two peers on one machine, as the README sets them up: A listens where B's
// answers go and sends to B; B sends to A.
// Without a key and with one key shared by both: the same exchange.
TEST(LanlinkPairAnswer, TwoPeersExchangeMessagesAnswersAndQuit) {
    char folder[] = "/tmp/lanlink-key-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string key = std::string(folder) + "/key";
    Child made({LANLINK_BINARY, "--new-key", key}, Input::kNull);
    ASSERT_EQ(exit_code(made.wait_exit()), 0) << made.errors();
    for (const std::vector<std::string>& keyed :
         {std::vector<std::string>{}, std::vector<std::string>{"--key", key}}) {
        const int a_port = testsupport::free_udp_port();
        const int b_port = testsupport::free_udp_port();
        auto a =
            testsupport::start_peer(LANLINK_BINARY, a_port, b_port, sink().port(), nullptr, keyed);
        ASSERT_TRUE(a);
        auto b = testsupport::start_peer(LANLINK_BINARY, b_port, a_port, a_port, nullptr, keyed);
        ASSERT_TRUE(b);
        const std::string to_b = " to 127.0.0.1 on port " + std::to_string(b_port) + "\r\n";
        const std::string a_text =
            "\t  IP: 127.0.0.1\r\n\tPORT: " + std::to_string(a_port) + "\r\n";

        ASSERT_TRUE(testsupport::open_prompt(*b));
        b->write("show_dest_info\n");
        EXPECT_TRUE(
            b->wait_for("Sending packets to 127.0.0.1 on port " + std::to_string(a_port) + "\r\n"));

        ASSERT_TRUE(testsupport::open_prompt(*a));
        a->write("send hello\n");
        EXPECT_TRUE(a->wait_for("Sent \"hello\"" + to_b));
        EXPECT_TRUE(b->wait_for(a_text + "\t MSG: hello\r\n"));

        ASSERT_TRUE(testsupport::open_prompt(*a));
        a->write("send update\n");
        EXPECT_TRUE(b->wait_for("Update request complete.\r\n"));
        EXPECT_TRUE(a->wait_for(a_text + "\t MSG: up_resp\r\n"));

        ASSERT_TRUE(testsupport::open_prompt(*a));
        a->write("send quit\n");
        EXPECT_TRUE(a->wait_for("msg = quit\r\n\r\nClient sent \"quit\" command!\r\n"));
        EXPECT_EQ(exit_code(a->wait_exit()), 0);
        EXPECT_TRUE(
            b->wait_for("\t MSG: quit\r\n\r\nServer recieved \"quit\" signal from client!"));
        EXPECT_EQ(exit_code(b->wait_exit()), 0);
        EXPECT_EQ(b->output().find("refused"), std::string::npos);
    }
    unlink(key.c_str());
    rmdir(folder);
}

// The numbers that the lines on refused datagrams in `out` tell, added up.
long refused_in(const std::string& out) {
    return testsupport::told_count(out, " refused from hosts not allowed (last from 127.0.0.1:");
}

// Only 127.0.0.2 may talk: what 127.0.0.1 sends, a "quit" among it, is
// neither shown nor obeyed; it is counted, and told at most once a second.
TEST_F(LanlinkAnswer, OnlyAllowedHostsAreHeard) {
    start({"--allow", "127.0.0.2", "-a", "10.0.0.0/8"});
    const LoopbackUdp allowed(0, false, 2);
    const auto told_by = [this](long count) {
        testsupport::eventually([this, count] {
            peer_->drain();
            return refused_in(plain(peer_->output())) >= count;
        });
        return refused_in(plain(peer_->output()));
    };
    send_vector("quit");
    EXPECT_EQ(told_by(3), 3);
    allowed.send_vector(static_cast<std::uint16_t>(port_), z("10.0.0.7"), z("7"), z("update"));
    EXPECT_TRUE(answered());
    EXPECT_TRUE(peer_->wait_for("\t  IP: 10.0.0.7\r\n\tPORT: 7\r\n\t MSG: update\r\n"));
    const auto before = std::chrono::steady_clock::now();
    send_vector("hello");
    other_.send(static_cast<std::uint16_t>(port_), z("x"));
    EXPECT_EQ(told_by(7), 7);
    // Told once a second at most: some of these waited for the next second.
    EXPECT_GT(std::chrono::steady_clock::now() - before, milliseconds(500));
    EXPECT_NE(plain(peer_->output())
                  .find(" refused from hosts not allowed (last from 127.0.0.1:" +
                        std::to_string(other_.port()) + ")\n"),
              std::string::npos);
    EXPECT_EQ(command("stats"),
              "stats\nvectors received: 1\nincomplete vectors: 0\nupdates answered: 1\n"
              "vectors sent: 0\ndatagrams dropped: 0\ndatagrams set aside after a loss: "
              "0\nprintouts not shown: 0\n"
              "datagrams refused: 7\ndatagrams cut to 512 bytes: 0\n");
    EXPECT_EQ(plain(peer_->output()).find("MSG: quit"), std::string::npos);
    allowed.send_vector(static_cast<std::uint16_t>(port_), z("10.0.0.7"), z("7"), z("quit"));
    expect_normal_end();
}

// Answers to the asker's own address: 127.0.0.2 is answered at 127.0.0.2.
TEST(LanlinkHeadlessAnswer, AnswersGoToTheSenderWhenAskedTo) {
    const LoopbackUdp answers(0, false, 2);
    const int port = testsupport::free_udp_port();
    std::vector<std::string> argv = command_line(port);
    const auto option = std::find(argv.begin(), argv.end(), "--answer-to");
    ASSERT_NE(option, argv.end());
    *(option + 1) = "sender:" + std::to_string(answers.port());
    Child child(argv, Input::kNull);
    ASSERT_TRUE(child.wait_for("recieving packets...Success!\n\n"));
    const LoopbackUdp asker(0, false, 2);
    asker.send_vector(static_cast<std::uint16_t>(port), z("a"), z("b"), z("update"));
    const auto got = answers.receive(testsupport::patient());
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, std::string("a\0\0\0\0\0\0\0\0", 9));
    asker.send_vector(static_cast<std::uint16_t>(port), z("a"), z("b"), z("quit"));
    EXPECT_EQ(exit_code(child.wait_exit()), 0);
}

}  // namespace
