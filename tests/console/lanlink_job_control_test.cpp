// lanlink and signals on a terminal: an ignored hang-up, a signal that
// ends it while it waits for a key, and Ctrl-Z and bg under a job-control
// shell, where it keeps serving and leaves the terminal to the shell.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "lanlink_e2e.h"
#include "lanlink_run.h"
#include "udp.h"

namespace {

using e2e::Lanlink;
using e2e::LanlinkAnswer;
using e2e::shell_command;
using std::chrono::milliseconds;
using testsupport::Child;
using testsupport::exit_code;
using testsupport::Input;
using testsupport::LoopbackUdp;
using testsupport::plain;
using testsupport::read_file;
using testsupport::z;

// A signal the caller ignored (nohup's SIGHUP) stays ignored.
TEST(LanlinkSignals, AnIgnoredHangUpStaysIgnored) {
    const int port = testsupport::free_udp_port();
    Child child({"/bin/sh", "-c", "trap '' HUP; exec " + shell_command(port)}, Input::kTerminal);
    ASSERT_TRUE(child.wait_for("[Y/n] "));
    child.write("y\n");
    ASSERT_TRUE(child.wait_for("recieving packets...Success!\r\n\r\n"));
    ASSERT_TRUE(testsupport::wait_for_raw(child.terminal(), false));
    child.kill_now(SIGHUP);
    const LoopbackUdp other;
    other.send_vector(static_cast<std::uint16_t>(port), z("1.2.3.4"), z("99"), z("hello"));
    EXPECT_TRUE(child.wait_for("\t MSG: hello\r\n"));
    // The terminal then goes away: the program stops waiting on it rather
    // than waking for it again and again.
    child.hang_up();
    const auto cpu_before = testsupport::cpu_time(child.pid());
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_LT(testsupport::cpu_time(child.pid()) - cpu_before, milliseconds(30));
    other.send_vector(static_cast<std::uint16_t>(port), z("1.2.3.4"), z("99"), z("quit"));
    EXPECT_TRUE(child.wait_exit());
}

TEST_F(Lanlink, ASignalWhileWaitingForAKeyRestoresTheTerminal) {
    start();
    // Holding the terminal's other side open keeps its settings readable
    // after the program has gone.
    const int side = open(ptsname(peer_->terminal()), O_RDWR | O_NOCTTY);
    ASSERT_GE(side, 0);
    peer_->write("x");
    ASSERT_TRUE(testsupport::wait_for_raw(peer_->terminal(), true));
    peer_->kill_now(SIGTERM);
    const auto status = peer_->wait_exit();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGTERM);
    termios after{};
    ASSERT_EQ(tcgetattr(side, &after), 0);
    EXPECT_EQ(after.c_lflag, found_.c_lflag);
    close(side);
}

// Ctrl-Z, then bg: in the background the program keeps serving and prints
// where the terminal lets it, but leaves the terminal's settings and input
// to the shell; fg brings its prompt back.
TEST_F(LanlinkAnswer, InTheBackgroundItKeepsServingAndLeavesTheTerminalAlone) {
#ifdef LANLINK_THREAD_SANITIZED
    GTEST_SKIP() << "under ThreadSanitizer every signal stays blocked while a handler runs "
                    "(SA_NODEFER notwithstanding), so lanlink's Ctrl-Z handler, which raises "
                    "SIGTSTP again to stop, does not stop it";
#endif
    // With stty tostop the terminal refuses background output: the
    // printouts then wait for fg instead.
    for (const bool tostop : {false, true}) {
        port_ = testsupport::free_udp_port();
        const std::string run = std::string(LANLINK_BINARY) +
                                " --answer-to 127.0.0.1:" + std::to_string(answers_.port()) +
                                " 127.0.0.1 " + std::to_string(other_.port()) + " " +
                                std::to_string(port_);
        peer_ = std::make_unique<Child>(
            std::vector<std::string>{"/bin/bash", "--norc", "--noprofile", "-c",
                                     std::string(tostop ? "stty tostop; " : "") + "set -m; " + run +
                                         "; bg; read line; fg; echo \"status=$?\""},
            Input::kTerminal);
        ASSERT_TRUE(peer_->wait_for("[Y/n] "));
        ASSERT_EQ(tcgetattr(peer_->terminal(), &found_), 0);
        peer_->write("y\n");
        ASSERT_TRUE(peer_->wait_for("recieving packets...Success!\r\n\r\n"));
        peer_->write("x");
        ASSERT_TRUE(testsupport::wait_for_raw(peer_->terminal(), true));
        peer_->write("\x1a");  // Ctrl-Z
        ASSERT_TRUE(peer_->wait_for("Stopped"));
        ASSERT_TRUE(peer_->wait_for(" &\r\n"));  // bg
        for (int i = 0; i < 3; ++i) {
            send_vector("update");
            EXPECT_TRUE(answered()) << i;
        }
        const auto last_served = std::chrono::steady_clock::now();
        EXPECT_EQ(peer_->wait_for("Update request complete.\r\n",
                                  tostop ? milliseconds(300) : testsupport::patient()),
                  !tostop);
        termios background{};
        ASSERT_EQ(tcgetattr(peer_->terminal(), &background), 0);
        EXPECT_EQ(background.c_lflag, found_.c_lflag);
        peer_->write("\n");  // for the shell's read; then fg
        ASSERT_TRUE(testsupport::wait_for_raw(peer_->terminal(), false));
        // fg continues no running job: nothing tells the program that the
        // terminal is its own again but its look at it, once a second (not
        // three seconds late, however busy the machine).
        EXPECT_LT(std::chrono::steady_clock::now() - last_served, milliseconds(3000)) << tostop;
        EXPECT_TRUE(peer_->wait_for("Update request complete.\r\n"));
        ASSERT_NO_FATAL_FAILURE(open_prompt());
        peer_->write("exit\n");
        EXPECT_TRUE(peer_->wait_for("status=0"));
        EXPECT_EQ(exit_code(peer_->wait_exit()), 0);
    }
}

// Ended by a quit in the background with stty tostop, the printouts it holds
// for fg cannot be written: they are counted in one line on standard error,
// before the shut-down lines, which come all the same.
TEST_F(LanlinkAnswer, EndedInTheBackgroundItCountsThePrintoutsItHeld) {
#ifdef LANLINK_THREAD_SANITIZED
    GTEST_SKIP() << "lanlink's Ctrl-Z handler cannot stop it under ThreadSanitizer (see above)";
#endif
    port_ = testsupport::free_udp_port();
    const std::string run = std::string(LANLINK_BINARY) + " -y 127.0.0.1 " +
                            std::to_string(other_.port()) + " " + std::to_string(port_);
    peer_ = std::make_unique<Child>(
        std::vector<std::string>{"/bin/bash", "--norc", "--noprofile", "-c",
                                 "stty tostop; set -m; " + run + "; bg; wait; echo \"status=$?\""},
        Input::kTerminal);
    ASSERT_TRUE(peer_->wait_for("recieving packets...Success!\r\n\r\n"));
    peer_->write("x");
    ASSERT_TRUE(testsupport::wait_for_raw(peer_->terminal(), true));
    peer_->write("\x1a");                    // Ctrl-Z
    ASSERT_TRUE(peer_->wait_for(" &\r\n"));  // bg
    const std::size_t from = peer_->output().size();
    for (int i = 0; i < 2000; ++i) {
        other_.send_vector(static_cast<std::uint16_t>(port_), z("a"), z(std::to_string(i)),
                           z("hello"));
        if (i % 100 == 99) {
            ASSERT_TRUE(testsupport::wait_until_read(static_cast<std::uint16_t>(port_)));
        }
    }
    send_vector("quit");
    ASSERT_TRUE(peer_->wait_for("status=0"));
    const std::string out = plain(peer_->output().substr(from));
    const auto count = out.find("2000 printouts not shown: the program was in the background\n");
    EXPECT_NE(count, std::string::npos) << out;
    EXPECT_LT(count, out.find("Exiting SDLNet and terminating server...Done!\n"));
    EXPECT_EQ(out.find("Packet array incoming!\n\t  IP: a\n"), std::string::npos);
    EXPECT_TRUE(peer_->wait_exit());
}

// Standard input the terminal and standard output a file: the place in the
// foreground is the terminal's, and from the background the program neither
// reads nor sets it, and keeps answering.
TEST_F(LanlinkAnswer, InTheBackgroundWithItsOutputInAFileItKeepsServing) {
#ifdef LANLINK_THREAD_SANITIZED
    GTEST_SKIP() << "lanlink's Ctrl-Z handler cannot stop it under ThreadSanitizer (see above)";
#endif
    char log[] = "/tmp/lanlink-bg-XXXXXX";
    const int fd = mkstemp(log);
    ASSERT_GE(fd, 0);
    close(fd);
    port_ = testsupport::free_udp_port();
    const std::string run = std::string(LANLINK_BINARY) +
                            " -y --answer-to 127.0.0.1:" + std::to_string(answers_.port()) +
                            " 127.0.0.1 " + std::to_string(other_.port()) + " " +
                            std::to_string(port_) + " >" + log;
    peer_ = std::make_unique<Child>(
        std::vector<std::string>{
            "/bin/bash", "--norc", "--noprofile", "-c",
            "set -m; " + run + "; bg; read line; kill -TERM %1; wait %1; echo \"status=$?\""},
        Input::kTerminal);
    testsupport::eventually(
        [&log] { return read_file(log).find("Success!\n\n") != std::string::npos; });
    peer_->write("x");
    ASSERT_TRUE(testsupport::wait_for_raw(peer_->terminal(), true));
    peer_->write("\x1a");                    // Ctrl-Z
    ASSERT_TRUE(peer_->wait_for(" &\r\n"));  // bg
    for (int i = 0; i < 3; ++i) {
        send_vector("update");
        EXPECT_TRUE(answered()) << i;
    }
    // Ended by a signal in the background, it leaves the terminal alone
    // (setting it from there would stop it) and ends by that signal.
    peer_->write("\n");  // for the shell's read
    EXPECT_TRUE(peer_->wait_for("status=143"));
    EXPECT_TRUE(peer_->wait_exit());
    unlink(log);
}

}  // namespace
