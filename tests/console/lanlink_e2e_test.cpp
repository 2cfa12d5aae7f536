// The built lanlink on a pseudo-terminal (or headless, on pipes), with test
// peers on 127.0.0.1.
#include "lanlink_e2e.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>

#include "child.h"
#include "lanlink_run.h"
#include "peer.h"
#include "screen.h"
#include "udp.h"

namespace {

using e2e::command_line;
using e2e::HeadlessToFile;
using e2e::Lanlink;
using e2e::LanlinkAnswer;
using e2e::shell_command;
using std::chrono::milliseconds;
using testsupport::Child;
using testsupport::exit_code;
using testsupport::expect_idle_costs_nothing;
using testsupport::flood_with_updates;
using testsupport::Input;
using testsupport::kHelp;
using testsupport::kShutdown;
using testsupport::kUsage;
using testsupport::LoopbackUdp;
using testsupport::plain;
using testsupport::Printout;
using testsupport::printouts_in;
using testsupport::read_file;
using testsupport::send_big_vector;
using testsupport::sink;
using testsupport::sink_port;
using testsupport::z;

TEST(LanlinkArguments, TooFewArgumentsPrintOnlyTheUsage) {
    for (const auto& argv : std::vector<std::vector<std::string>>{
             {LANLINK_BINARY}, {LANLINK_BINARY, "127.0.0.1"}, {LANLINK_BINARY, "127.0.0.1", "1"}}) {
        Child child(argv, Input::kNull);
        EXPECT_EQ(exit_code(child.wait_exit()), 1);
        EXPECT_EQ(child.output(), "");
        EXPECT_EQ(child.errors(), kUsage);
    }
}

TEST(LanlinkArguments, PortsOutOfRangeAreRefusedBeforeTheQuestion) {
    for (const auto& [dest, listen, named] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"4556", "70000", "listen port 70000"},
             {"4556", "-1", "listen port -1"},
             {"65536", "4555", "destination port 65536"},
             {"99999999999999999999", "4555", "destination port 99999999999999999999"}}) {
        // "--" ends the options: "-1" is then an operand.
        Child child({LANLINK_BINARY, "--", "127.0.0.1", dest, listen}, Input::kNull);
        EXPECT_EQ(exit_code(child.wait_exit()), 1);
        EXPECT_EQ(child.output(), "");
        EXPECT_EQ(child.errors(), "lanlink: the " + named + " is outside 0 to 65535\n");
    }
}

// Options are read first, wherever they stand; a refused one is named, with
// the hint to --help, and nothing else happens.
TEST(LanlinkArguments, OptionsAreCheckedBeforeTheQuestion) {
    const std::string hint = "\nTry 'lanlink --help' for more information.\n";
    for (const auto& [args, refusal] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--bogus", "127.0.0.1", "4556", "4555"}, "unknown option '--bogus'"},
             {{"-x", "1", "2", "3"}, "unknown option '-x'"},
             {{"127.0.0.1", "4556", "4555", "-1"}, "unknown option '-1'"},
             {{"-W", "0", "a", "b", "c"}, "-W takes milliseconds from 1 to 1000, not '0'"},
             {{"a", "b", "c", "--window=1001"},
              "--window takes milliseconds from 1 to 1000, not '1001'"},
             {{"--window", "5ms", "a", "b", "c"},
              "--window takes milliseconds from 1 to 1000, not '5ms'"},
             {{"a", "b", "c", "-W"}, "option '-W' needs a value"},
             {{"--allow", "300.1.1.1", "a", "b", "c"},
              "--allow takes ADDRESS[/BITS], not '300.1.1.1': not an IPv4 address"},
             {{"-a", "10.0.0.0/33", "a", "b", "c"},
              "-a takes ADDRESS[/BITS], not '10.0.0.0/33': BITS must be from 0 to 32"},
             {{"--allow=a..b", "a", "b", "c"},
              "--allow takes ADDRESS[/BITS], not 'a..b': the name cannot be resolved (the name "
              "is not a known host or numeric address)"},
             {{"--answer-to", "host:99999", "a", "b", "c"},
              "--answer-to takes HOST[:PORT] or sender[:PORT], not 'host:99999': PORT must be "
              "from 1 to 65535"},
             {{"a", "b", "c", "--answer-to"}, "option '--answer-to' needs a value"}}) {
        std::vector<std::string> argv = {LANLINK_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        Child child(argv, Input::kNull);
        EXPECT_EQ(exit_code(child.wait_exit()), 1) << refusal;
        EXPECT_EQ(child.output(), "");
        EXPECT_EQ(child.errors(), std::string("lanlink: ").append(refusal).append(hint));
    }
}

// SDL_net waits with select(), which cannot watch descriptors from 1024 on:
// the receive socket is read without it, so a program started with every
// descriptor below that taken still serves.
TEST(LanlinkArguments, ManyInheritedDescriptorsDoNotStopTheService) {
    const int port = testsupport::free_udp_port();
    Child child(
        [port] {
            testsupport::exec_program_crowded(command_line(port));
            return 127;
        },
        Input::kNull);
    ASSERT_TRUE(child.wait_for("recieving packets...Success!\n\n"));
    const LoopbackUdp other;
    other.send_vector(static_cast<std::uint16_t>(port), z("1.2.3.4"), z("99"), z("hello"));
    EXPECT_TRUE(child.wait_for("\t MSG: hello\n"));
    other.send_vector(static_cast<std::uint16_t>(port), z("1.2.3.4"), z("99"), z("quit"));
    EXPECT_EQ(exit_code(child.wait_exit()), 0);
    EXPECT_EQ(child.errors(), "");
}

// --help and --version answer before any question, wherever they stand.
TEST(LanlinkArguments, HelpAndVersionComeFirst) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"},
                                                 {"-h"},
                                                 {"--help", "x", "y"},
                                                 {"a", "b", "c", "-h"}}) {
        std::vector<std::string> argv = {LANLINK_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        Child child(argv, Input::kNull);
        EXPECT_EQ(exit_code(child.wait_exit()), 0);
        EXPECT_EQ(child.output().rfind("Usage: lanlink [options] <other_ip> <other_ip's_send_port> "
                                       "<listen_port>\n",
                                       0),
                  0U);
        EXPECT_NE(child.output().find(std::string(kHelp).substr(1)), std::string::npos);
        EXPECT_EQ(child.errors(), "");
    }
    // A window at either end of its range is taken.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--version"},
                                                 {"-V"},
                                                 {"-W", "1000", "-V"},
                                                 {"--window=1", "--version"}}) {
        std::vector<std::string> argv = {LANLINK_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        Child child(argv, Input::kNull);
        EXPECT_EQ(exit_code(child.wait_exit()), 0) << args.front();
        EXPECT_EQ(child.output(), "lanlink " LANLINK_VERSION "\n");
        EXPECT_EQ(child.errors(), "");
    }
}

// At the descriptor limit, start-up says so, with status 1.
TEST(LanlinkArguments, NoDescriptorLeftIsTheReasonGiven) {
#ifdef LANLINK_SANITIZED
    GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own";
#endif
    const int port = testsupport::free_udp_port();
    Child child(
        [port] {
            const rlimit sixteen{16, 16};
            setrlimit(RLIMIT_NOFILE, &sixteen);
            for (int fd = open("/dev/null", O_RDONLY); fd >= 0 && fd < 14;) {
                fd = open("/dev/null", O_RDONLY);
            }
            testsupport::exec_program(command_line(port));
            return 127;
        },
        Input::kPipe);
    child.write("y\n");
    EXPECT_EQ(exit_code(child.wait_exit()), 1);
    EXPECT_NE(child.errors().find("FAILED!\nSDLNet_UDP_Open(port): no descriptor left for the "
                                  "socket (too many open files)\n"),
              std::string::npos)
        << child.errors();
}

TEST(LanlinkArguments, AnswerNRejectsWithTheUsage) {
    for (const char* answer : {"N\n", "  n  \n", "N"}) {
        const int port = testsupport::free_udp_port();
        Child child(command_line(port), Input::kPipe);
        child.write(answer);
        child.close_input();  // "N" alone: its line ends with the input
        EXPECT_EQ(exit_code(child.wait_exit()), 1);
        EXPECT_EQ(child.output(),
                  "\n   IP Address to connect to: 127.0.0.1\n  Port number to connect to: " +
                      sink_port() + "\nListen port to recieve from: " + std::to_string(port) +
                      "\nIs this correct? [Y/n] ");
        EXPECT_EQ(child.errors(), kUsage);
    }
}

// Headless: any answer but n/N (or none at all) accepts; with no keyboard the
// program runs until the other peer sends "quit".
TEST(LanlinkHeadless, RunsUntilThePeerQuits) {
    for (const char* answer : {"no\n", "", "nn y\n"}) {
        const int port = testsupport::free_udp_port();
        Child child(command_line(port), Input::kPipe);
        child.write(answer);
        child.close_input();
        ASSERT_TRUE(child.wait_for("recieving packets...Success!\n\n")) << answer;
        if (*answer == '\0') {
            expect_idle_costs_nothing(child);
        }
        const LoopbackUdp other;
        other.send_vector(static_cast<std::uint16_t>(port), z("1.2.3.4"), z("99"), z("hello"));
        ASSERT_TRUE(child.wait_for("\t MSG: hello\n"));
        other.send_vector(static_cast<std::uint16_t>(port), z("1.2.3.4"), z("99"), z("quit"));
        EXPECT_EQ(exit_code(child.wait_exit()), 0);
        EXPECT_NE(child.output().find("\nServer recieved \"quit\" signal from client!\n" +
                                      std::string(kShutdown)),
                  std::string::npos);
    }
}

// Headless means no keyboard call at all: standard input is asked once,
// at start, whether it is a terminal. And while far too little arrives to
// fill the receive queue, nothing can have been dropped: the kernel is asked
// for its drop count only once, at the end.
TEST(LanlinkHeadless, MakesNoTerminalCallsAndNoNeedlessDropQueries) {
#if defined(LANLINK_SANITIZED) && !defined(LANLINK_THREAD_SANITIZED)
    GTEST_SKIP() << "the leak checker cannot run under strace";
#endif
    if (access("/usr/bin/strace", X_OK) != 0) {
        GTEST_SKIP() << "strace is not installed";
    }
    // A build machine may not allow tracing at all.
    if (std::system("/usr/bin/strace -o /dev/null /bin/true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace cannot trace here (ptrace is not allowed)";
    }
    char trace[] = "/tmp/lanlink-trace-XXXXXX";
    const int fd = mkstemp(trace);
    ASSERT_GE(fd, 0);
    close(fd);
    const int port = testsupport::free_udp_port();
    std::vector<std::string> argv = {"/usr/bin/strace", "-o", trace, "-e",
                                     "trace=ioctl,getsockopt"};
    for (const auto& arg : command_line(port)) {
        argv.push_back(arg);
    }
    Child child(argv, Input::kPipe);
    child.write("y\n");
    ASSERT_TRUE(child.wait_for("recieving packets...Success!\n\n", milliseconds(10000)));
    const LoopbackUdp other;
    for (const char* keyword : {"hello", "hello", "quit"}) {
        other.send_vector(static_cast<std::uint16_t>(port), z("1.2.3.4"), z("99"), z(keyword));
        child.read_for(milliseconds(20));
    }
    EXPECT_EQ(exit_code(child.wait_exit()), 0);
    std::ifstream calls(trace);
    std::string line;
    int on_input = 0;
    int drop_queries = 0;
    while (std::getline(calls, line)) {
        on_input += line.rfind("ioctl(0,", 0) == 0 ? 1 : 0;
        drop_queries += line.find("SO_MEMINFO") != std::string::npos ? 1 : 0;
    }
    unlink(trace);
    EXPECT_LE(on_input, 1);
    EXPECT_EQ(drop_queries, 1);
}

// A write error on standard output (here, a closed pipe) ends the program
// with a message and status 1, instead of a silent loss or a signal.
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

// A write that fails in the middle of a burst (here the file may not grow
// past 4 KiB) ends the program with status 1 and the reason.
TEST(LanlinkHeadless, AWriteErrorInABurstEndsWithStatusOne) {
    char path[] = "/tmp/lanlink-output-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    const int port = testsupport::free_udp_port();
    Child child(
        {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 8; exec " + shell_command(port) + " >" + path},
        Input::kNull);
    const LoopbackUdp other;
    std::string written;
    for (int i = 0; i < 100 && written.find("Success!\n\n") == std::string::npos; ++i) {
        std::this_thread::sleep_for(milliseconds(50));
        std::ifstream file(path);
        written.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    ASSERT_NE(written.find("Success!\n\n"), std::string::npos);
    for (int i = 0; i < 100; ++i) {
        other.send_vector(static_cast<std::uint16_t>(port), z("1.2.3.4"), z("99"), z("hello"));
    }
    EXPECT_EQ(exit_code(child.wait_exit()), 1);
    EXPECT_EQ(child.errors(), "lanlink: cannot write to standard output: File too large\n");
    unlink(path);
}

TEST(LanlinkHeadless, AClosedOutputEndsWithStatusOne) {
    const int port = testsupport::free_udp_port();
    Child child(command_line(port), Input::kNull);
    ASSERT_TRUE(child.wait_for("recieving packets...Success!\n\n"));
    child.close_output();
    const LoopbackUdp other;
    other.send_vector(static_cast<std::uint16_t>(port), z("1.2.3.4"), z("99"), z("hello"));
    EXPECT_EQ(exit_code(child.wait_exit()), 1);
    EXPECT_EQ(child.errors(), "lanlink: cannot write to standard output: Broken pipe\n");
}

// A peer held up (here stopped) while a sender floods it, then served while
// the flood goes on: every datagram sent is either in a printout or in a
// drop line, and no printout holds datagrams from both sides of a loss (its
// datagrams were sent one right after the other).
TEST(LanlinkHeadless, NoVectorSpansADropAndEveryDatagramIsAccountedFor) {
    HeadlessToFile peer;
    ASSERT_TRUE(peer.started());
    peer.child().kill_now(SIGSTOP);
    const LoopbackUdp sender;
    int next = 0;
    const auto send_numbered = [&](int count) {
        for (int i = 0; i < count; ++i, ++next) {
            sender.send(peer.port(), z("d" + std::to_string(next)));
        }
    };
    // More than the largest receive queue the kernel allows here can hold.
    send_numbered(60000);
    ASSERT_GT(testsupport::kernel_drops(peer.port()).value_or(0), 0UL);
    peer.child().kill_now(SIGCONT);
    send_numbered(30000);  // while the backlog is served
    std::this_thread::sleep_for(milliseconds(300));
    const auto dropped = testsupport::kernel_drops(peer.port());
    ASSERT_TRUE(dropped);
    sender.send_vector(peer.port(), z("q"), z("q"), z("quit"));
    EXPECT_EQ(exit_code(peer.child().wait_exit(milliseconds(20000))), 0);

    const std::string out = peer.output();
    const std::vector<Printout> shown = printouts_in(out);
    long datagrams = 0;
    int spanning = 0;
    for (const Printout& p : shown) {
        std::vector<long> numbers;
        for (const std::string* text : {&p.ip, &p.port, &p.msg}) {
            if (!text->empty() && text->front() == 'd') {
                numbers.push_back(std::stol(text->substr(1)));
            }
        }
        datagrams += static_cast<long>(numbers.size());
        for (std::size_t i = 1; i < numbers.size(); ++i) {
            spanning += numbers[i] != numbers[i - 1] + 1 ? 1 : 0;
        }
    }
    EXPECT_EQ(spanning, 0);
    EXPECT_GT(*dropped, 0UL);
    EXPECT_EQ(testsupport::told_count(out, " dropped by the system"), static_cast<long>(*dropped));
    EXPECT_EQ(datagrams + testsupport::told_count(out, " dropped by the system"), next);
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back().msg, "quit");
    EXPECT_NE(out.find("\nServer recieved \"quit\" signal from client!\n" + std::string(kShutdown)),
              std::string::npos);
}

// A vector's datagrams come within a window of its first: the rest of a
// vector that comes later starts a vector of its own, even while another
// sender keeps the socket busy, and neither part is obeyed. A longer
// window (-W) takes it in.
TEST(LanlinkHeadlessAnswer, ARestLaterThanTheWindowIsNotJoinedWhileTheSocketIsBusy) {
    const LoopbackUdp answers;
    for (const std::string window : {"", "-W 400"}) {
        HeadlessToFile peer(answers.port(), window);
        ASSERT_TRUE(peer.started());
        const LoopbackUdp late;
        const LoopbackUdp busy;
        late.send(peer.port(), z("10.0.0.1"));
        late.send(peer.port(), z("4555"));
        for (int i = 0; i < 100; ++i) {
            busy.send_vector(peer.port(), z("b"), z(std::to_string(i)), z("busy"));
            std::this_thread::sleep_for(milliseconds(2));
        }
        late.send(peer.port(), z("update"));
        const bool answered = answers.receive(milliseconds(500)).has_value();
        busy.send_vector(peer.port(), z("q"), z("q"), z("quit"));
        EXPECT_EQ(exit_code(peer.child().wait_exit()), 0);
        const std::vector<Printout> shown = printouts_in(peer.output());
        int busy_whole = 0;
        std::vector<std::string> from_late;
        for (const Printout& p : shown) {
            if (p.ip == "b") {
                busy_whole += p.msg == "busy" ? 1 : 0;
            } else if (p.ip != "q") {
                from_late.push_back(p.ip + "|" + p.port + "|" + p.msg);
            }
        }
        EXPECT_EQ(busy_whole, 100) << window;
        if (window.empty()) {
            EXPECT_FALSE(answered);
            EXPECT_EQ(from_late, (std::vector<std::string>{"10.0.0.1|4555|", "update||"}));
        } else {
            EXPECT_TRUE(answered);
            EXPECT_EQ(from_late, (std::vector<std::string>{"10.0.0.1|4555|update"}));
        }
        answers.drain();
    }
}

// The window is 50 ms unless -W says otherwise: the rest of a vector that
// comes half a millisecond within it joins it, half a millisecond beyond it
// does not. The peer is held up meanwhile, so it reads them all at once.
TEST(LanlinkHeadless, TheWindowIsFiftyMillisecondsByDefault) {
    HeadlessToFile peer;
    ASSERT_TRUE(peer.started());
    peer.child().kill_now(SIGSTOP);
    const testsupport::WindowProbe probe = testsupport::probe_window(peer.port(), milliseconds(50));
    peer.child().kill_now(SIGCONT);
    ASSERT_GT(probe.within, 0);
    ASSERT_GT(probe.beyond, 0);
    LoopbackUdp().send_vector(peer.port(), z("q"), z("q"), z("quit"));
    EXPECT_EQ(exit_code(peer.child().wait_exit()), 0);
    EXPECT_EQ(testsupport::telling_printouts(probe, peer.output()), probe.expected);
}

// The longest window, a second: an incomplete vector waits for it whole,
// however long the one wait must then sleep, and is given up after it.
TEST(LanlinkHeadless, AWindowOfASecondIsWaitedOutWhole) {
    HeadlessToFile peer(0, "-W 1000");
    ASSERT_TRUE(peer.started());
    const LoopbackUdp sender;
    const auto sent = std::chrono::steady_clock::now();
    sender.send(peer.port(), z("alone"));
    const std::string given_up = "\t  IP: alone\n\tPORT: \n\t MSG: \n";
    std::string out;
    for (int i = 0; i < 150 && out.find(given_up) == std::string::npos; ++i) {
        std::this_thread::sleep_for(milliseconds(20));
        out = peer.output();
    }
    EXPECT_NE(out.find(given_up), std::string::npos) << out;
    EXPECT_GE(std::chrono::steady_clock::now() - sent, milliseconds(1000));
    sender.send_vector(peer.port(), z("q"), z("q"), z("quit"));
    EXPECT_EQ(exit_code(peer.child().wait_exit()), 0);
    EXPECT_EQ(peer.child().errors(), "");
}

// One datagram injected "from" a sender's own address and port shifts that
// sender's datagrams only until its next pause longer than the window: one
// vector is lost, every later update is answered with its own texts.
TEST(LanlinkHeadlessAnswer, AStrayDatagramCostsItsSenderAtMostOneVector) {
    const LoopbackUdp answers;
    HeadlessToFile peer(answers.port());
    ASSERT_TRUE(peer.started());
    const LoopbackUdp sender(0, true);
    const LoopbackUdp spoof(sender.port(), true);
    std::vector<std::string> answered;
    for (int i = 0; i < 10; ++i) {
        if (i == 4) {
            spoof.send(peer.port(), z("stray"));
        }
        sender.send_vector(peer.port(), z("10.0.0.1"), z(std::to_string(5000 + i)), z("update"));
        for (int d = 0; d < 3; ++d) {
            if (const auto got = answers.receive(milliseconds(100))) {
                answered.push_back(got->bytes.substr(0, got->bytes.find('\0')));
            }
        }
        answers.drain();
    }
    sender.send_vector(peer.port(), z("q"), z("q"), z("quit"));
    EXPECT_EQ(exit_code(peer.child().wait_exit()), 0);
    std::vector<std::string> expected;
    for (int i = 0; i < 10; ++i) {
        if (i != 4) {
            for (const std::string& text :
                 {std::string("10.0.0.1"), std::to_string(5000 + i), std::string("up_resp")}) {
                expected.push_back(text);
            }
        }
    }
    EXPECT_EQ(answered, expected);
}

// Senders interleaving datagram by datagram, far more of them than ever
// send at once: every vector whole, every update answered with its own texts.
TEST(LanlinkHeadlessAnswer, TwoHundredInterleavedSendersAreAllWholeAndAnswered) {
    const LoopbackUdp answers;
    HeadlessToFile peer(answers.port());
    ASSERT_TRUE(peer.started());
    constexpr int kSenders = 200;
    std::vector<std::unique_ptr<LoopbackUdp>> senders;
    senders.reserve(kSenders);
    for (int i = 0; i < kSenders; ++i) {
        senders.push_back(std::make_unique<LoopbackUdp>());
    }
    for (const std::string slot : {"address", "port", "update"}) {
        for (int i = 0; i < kSenders; ++i) {
            const std::string text = slot == "address" ? "s" + std::to_string(i)
                                     : slot == "port"  ? std::to_string(i)
                                                       : slot;
            senders[static_cast<std::size_t>(i)]->send(peer.port(), z(text));
        }
    }
    std::set<int> own;
    for (int i = 0; i < kSenders; ++i) {
        std::string got[3];
        for (std::string& bytes : got) {
            const auto d = answers.receive(milliseconds(2000));
            ASSERT_TRUE(d) << i;
            bytes = d->bytes.substr(0, d->bytes.find('\0'));
        }
        if (got[0] == "s" + got[1] && got[2] == "up_resp") {
            own.insert(std::stoi(got[1]));
        }
    }
    EXPECT_EQ(own.size(), static_cast<std::size_t>(kSenders));
    senders[0]->send_vector(peer.port(), z("q"), z("q"), z("quit"));
    EXPECT_EQ(exit_code(peer.child().wait_exit()), 0);
    EXPECT_EQ(printouts_in(peer.output()).size(), static_cast<std::size_t>(kSenders + 1));
}

// What was read together with the "quit" is handled before the end, in
// order, after it as before it: printed, and updates answered.
TEST(LanlinkHeadlessAnswer, WhatCameWithTheQuitIsHandledInOrderBeforeTheEnd) {
    const LoopbackUdp answers;
    HeadlessToFile peer(answers.port());
    ASSERT_TRUE(peer.started());
    peer.child().kill_now(SIGSTOP);
    const LoopbackUdp sender;
    const LoopbackUdp lone;
    sender.send_vector(peer.port(), z("A"), z("1"), z("update"));
    sender.send_vector(peer.port(), z("B"), z("2"), z("update"));
    sender.send_vector(peer.port(), z("Q"), z("3"), z("quit"));
    lone.send(peer.port(), z("lone"));
    sender.send_vector(peer.port(), z("C"), z("4"), z("update"));
    std::this_thread::sleep_for(milliseconds(50));
    peer.child().kill_now(SIGCONT);
    EXPECT_EQ(exit_code(peer.child().wait_exit()), 0);
    std::vector<std::string> answered;
    while (const auto got = answers.receive(milliseconds(200))) {
        answered.push_back(got->bytes.substr(0, got->bytes.find('\0')));
    }
    EXPECT_EQ(answered, (std::vector<std::string>{"A", "1", "up_resp", "B", "2", "up_resp", "C",
                                                  "4", "up_resp"}));
    const std::string out = peer.output();
    std::vector<std::string> order;
    for (const Printout& p : printouts_in(out)) {
        order.push_back(p.ip + "|" + p.port + "|" + p.msg);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"A|1|update", "B|2|update", "Q|3|quit", "C|4|update",
                                               "lone||"}));
    const auto quit = out.find("\nServer recieved \"quit\" signal from client!\n");
    const auto after = out.find("\t  IP: C");
    const auto end = out.find(kShutdown);
    EXPECT_LT(quit, after);
    EXPECT_LT(out.find("Update request complete.\n", after), end);
    EXPECT_NE(end, std::string::npos);
}

// Standard descriptors closed at start are not taken by the program's own
// sockets or pipes: a closed input is end of input (the confirmation
// accepts), and closed outputs are simply not written.
TEST(LanlinkHeadless, ClosedStandardDescriptorsAreNotTakenBySockets) {
    for (const std::string closed : {"<&-", ">&- 2>&-", "<&- >&- 2>&-"}) {
        const int port = testsupport::free_udp_port();
        Child child({"/bin/sh", "-c", "exec " + shell_command(port) + " " + closed}, Input::kNull);
        // The port is bound once start-up is done.
        bool bound = false;
        for (int i = 0; i < 200 && !bound; ++i) {
            bound = testsupport::kernel_drops(static_cast<std::uint16_t>(port)).has_value();
            std::this_thread::sleep_for(milliseconds(10));
        }
        ASSERT_TRUE(bound) << closed;
        // Each closed one was opened on /dev/null, before any socket or pipe.
        const auto target = [&child](int fd) {
            char link[256] = {};
            const std::string path =
                "/proc/" + std::to_string(child.pid()) + "/fd/" + std::to_string(fd);
            const ssize_t got = readlink(path.c_str(), link, sizeof link - 1);
            return got > 0 ? std::string(link, static_cast<std::size_t>(got)) : std::string();
        };
        const bool in_closed = closed.find("<&-") != std::string::npos;
        const bool out_closed = closed.find(">&-") != std::string::npos;
        for (int fd = 0; fd <= 2; ++fd) {
            if (fd == 0 ? in_closed : out_closed) {
                EXPECT_EQ(target(fd), "/dev/null") << closed << ": descriptor " << fd;
            }
        }
        const LoopbackUdp other;
        other.send_vector(static_cast<std::uint16_t>(port), z("1.2.3.4"), z("99"), z("hello"));
        other.send_vector(static_cast<std::uint16_t>(port), z("1.2.3.4"), z("99"), z("quit"));
        EXPECT_EQ(exit_code(child.wait_exit()), 0) << closed;
        if (closed == "<&-") {
            EXPECT_NE(child.output().find("\t MSG: hello\n"), std::string::npos);
            EXPECT_NE(child.output().find(kShutdown), std::string::npos);
        }
        EXPECT_EQ(child.errors(), "") << closed;
    }
}

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
    }
    other.send_vector(static_cast<std::uint16_t>(port), z("1.2.3.4"), z("99"), z("quit"));
    EXPECT_EQ(exit_code(child.wait_exit(milliseconds(15000))), 0);
    const std::string& out = child.output();
    const auto [shown, not_shown] = testsupport::shown_and_not_shown(out);
    EXPECT_GT(not_shown, 0);
    EXPECT_EQ(shown + not_shown, sent + 300 + 1);
    const std::string quit = "\t MSG: quit\n\nServer recieved \"quit\" signal from client!\n";
    EXPECT_NE(out.find(quit), std::string::npos);
    const auto last_count = out.rfind(" not shown (standard output was not being read)\n");
    EXPECT_LT(last_count, out.find(kShutdown));
    EXPECT_NE(out.find(kShutdown), std::string::npos);
}

TEST_F(Lanlink, ConfirmsAndStartsUp) {
    start();
    EXPECT_EQ(plain(peer_->output()),
              "\n   IP Address to connect to: 127.0.0.1\n  Port number to connect to: " +
                  std::to_string(other_.port()) +
                  "\nListen port to recieve from: " + std::to_string(port_) +
                  "\nIs this correct? [Y/n] y\n"
                  "Accepting connections on port: " +
                  std::to_string(port_) +
                  "\nInitializing SDL_net (recieve)...Success!\nOpening port " +
                  std::to_string(port_) +
                  " for incoming connections...Success!\n"
                  "Opening random communication socket for sending...Success!\n"
                  "Resolving destination address...Success!\n"
                  "Allocating memory for sending packets...Success!\n"
                  "Allocating memory for recieving packets...Success!\n\n");
}

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

TEST(LanlinkConfirmation, EnterAloneEndOfInputAndExtraWordsAccept) {
    for (const char* answer : {"\n", "\x04", "y exit\n"}) {
        const int port = testsupport::free_udp_port();
        Child child(command_line(port), Input::kTerminal);
        ASSERT_TRUE(child.wait_for("[Y/n] "));
        child.write(answer);
        ASSERT_TRUE(child.wait_for("recieving packets...Success!\r\n\r\n")) << answer;
        // The console goes on reading commands: nothing was left over.
        ASSERT_TRUE(testsupport::open_prompt(child)) << answer;
        child.write("help\n");
        EXPECT_TRUE(child.wait_for("\t          help - display this message\r\n")) << answer;
        ASSERT_TRUE(testsupport::open_prompt(child)) << answer;
        child.write("exit\n");
        EXPECT_EQ(exit_code(child.wait_exit()), 0) << answer;
    }
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
    ASSERT_TRUE(
        peer_->wait_for("not shown (standard output was not being read)\r\n", milliseconds(10000)));
    peer_->read_for(milliseconds(300));
    const auto [shown, not_shown] = testsupport::shown_and_not_shown(peer_->output().substr(from));
    EXPECT_GT(not_shown, 0);
    EXPECT_EQ(shown + not_shown, sent);

    // A terminal that never reads again does not hold up the end either.
    peer_->write("\x13");
    for (int i = 0; i < 300; ++i) {
        send_big_vector(other_, port_);
    }
    send_vector("quit");
    EXPECT_EQ(exit_code(peer_->wait_exit(milliseconds(15000))), 0);
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
    ASSERT_TRUE(peer_->wait_for(count_line + "\r\n Help:\r\n", milliseconds(10000)));
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
        EXPECT_EQ(
            peer_->wait_for("Update request complete.\r\n", milliseconds(tostop ? 300 : 3000)),
            !tostop);
        termios background{};
        ASSERT_EQ(tcgetattr(peer_->terminal(), &background), 0);
        EXPECT_EQ(background.c_lflag, found_.c_lflag);
        peer_->write("\n");  // for the shell's read; then fg
        ASSERT_TRUE(testsupport::wait_for_raw(peer_->terminal(), false));
        // fg continues no running job: nothing tells the program that the
        // terminal is its own again but its look at it, once a second.
        EXPECT_LT(std::chrono::steady_clock::now() - last_served, milliseconds(1600)) << tostop;
        EXPECT_TRUE(peer_->wait_for("Update request complete.\r\n"));
        ASSERT_NO_FATAL_FAILURE(open_prompt());
        peer_->write("exit\n");
        EXPECT_TRUE(peer_->wait_for("status=0"));
        EXPECT_EQ(exit_code(peer_->wait_exit()), 0);
    }
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
    for (int i = 0; i < 200 && read_file(log).find("Success!\n\n") == std::string::npos; ++i) {
        std::this_thread::sleep_for(milliseconds(25));
    }
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

TEST_F(LanlinkAnswer, UpdateIsAnsweredOnTheAnswerPort) {
    start();
    other_.send_vector(static_cast<std::uint16_t>(port_), z("10.0.0.2"), z("4555"), z("update"));
    EXPECT_TRUE(peer_->wait_for("Update request complete.\r\n"));
    for (const std::string& expected :
         {std::string("10.0.0.2\0", 9), std::string("4555\0\0\0\0\0", 9),
          std::string("up_resp\0\0", 9)}) {
        const auto got = answers_.receive(milliseconds(2000));
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
              "vectors sent: 3\ndatagrams dropped: 0\nprintouts not shown: 0\n"
              "datagrams refused: 0\n");
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
TEST(LanlinkPairAnswer, TwoPeersExchangeMessagesAnswersAndQuit) {
    const int a_port = testsupport::free_udp_port();
    const int b_port = testsupport::free_udp_port();
    auto a = testsupport::start_peer(LANLINK_BINARY, a_port, b_port, sink().port());
    ASSERT_TRUE(a);
    auto b = testsupport::start_peer(LANLINK_BINARY, b_port, a_port, a_port);
    ASSERT_TRUE(b);
    const std::string to_b = " to 127.0.0.1 on port " + std::to_string(b_port) + "\r\n";
    const std::string a_text = "\t  IP: 127.0.0.1\r\n\tPORT: " + std::to_string(a_port) + "\r\n";

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
    EXPECT_TRUE(b->wait_for("\t MSG: quit\r\n\r\nServer recieved \"quit\" signal from client!"));
    EXPECT_EQ(exit_code(b->wait_exit()), 0);
}

// A vector that is waiting when a command that ends the program is read
// (here both came while the program was held up) is still received and
// answered before the end.
TEST_F(LanlinkAnswer, AVectorWaitingWhenAStoppingCommandIsReadIsAnswered) {
    const std::pair<const char*, int> commands[] = {
        {"exit", 0}, {"send quit", 0}, {"set_ip a..b", 1}};
    for (const auto& [line, status] : commands) {
        start();
        ASSERT_NO_FATAL_FAILURE(open_prompt());
        peer_->kill_now(SIGSTOP);
        peer_->write(std::string(line) + "\n");
        send_vector("update");
        peer_->kill_now(SIGCONT);
        EXPECT_TRUE(answered()) << line;
        EXPECT_TRUE(peer_->wait_for("terminating server...Done!\r\n")) << line;
        EXPECT_EQ(exit_code(peer_->wait_exit()), status) << line;
        const std::string out = plain(peer_->output());
        EXPECT_LT(out.find("Update request complete.\n"), out.find("\nTerminating program"))
            << line;
        other_.drain();
    }
}

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
    ASSERT_TRUE(child.wait_for("recieving packets...Success!\n\n", milliseconds(10000)));
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
    EXPECT_TRUE(child.wait_for("Update request complete.\n", milliseconds(5000)));
    other.send_vector(to, z("10.0.0.2"), z("4555"), z("quit"));
    EXPECT_EQ(exit_code(child.wait_exit(milliseconds(10000))), 0) << child.errors();
    EXPECT_EQ(child.errors(), "");
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
        for (int i = 0; i < 60 && refused_in(plain(peer_->output())) < count; ++i) {
            peer_->read_for(milliseconds(50));
        }
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
              "vectors sent: 0\ndatagrams dropped: 0\nprintouts not shown: 0\n"
              "datagrams refused: 7\n");
    EXPECT_EQ(plain(peer_->output()).find("MSG: quit"), std::string::npos);
    allowed.send_vector(static_cast<std::uint16_t>(port_), z("10.0.0.7"), z("7"), z("quit"));
    expect_normal_end();
}

// Answers to the asker's own address: 127.0.0.2 is answered at 127.0.0.2.
TEST(LanlinkHeadlessAnswer, AnswersGoToTheSenderWhenAskedTo) {
    const LoopbackUdp answers(0, false, 2);
    const int port = testsupport::free_udp_port();
    std::vector<std::string> argv = command_line(port);
    argv.at(2) = "sender:" + std::to_string(answers.port());  // the value of --answer-to
    Child child(argv, Input::kNull);
    ASSERT_TRUE(child.wait_for("recieving packets...Success!\n\n"));
    const LoopbackUdp asker(0, false, 2);
    asker.send_vector(static_cast<std::uint16_t>(port), z("a"), z("b"), z("update"));
    const auto got = answers.receive(milliseconds(2000));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, std::string("a\0\0\0\0\0\0\0\0", 9));
    asker.send_vector(static_cast<std::uint16_t>(port), z("a"), z("b"), z("quit"));
    EXPECT_EQ(exit_code(child.wait_exit()), 0);
}

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
    std::vector<std::string> screen = testsupport::screen_lines(peer_->output());
    EXPECT_EQ(std::count(screen.begin(), screen.end(), "$ show_dest_info"), 2);
    peer_->write("Help\nstats\nsend\n");  // a paste: every line runs, in order
    EXPECT_TRUE(peer_->wait_for("Unknown command \"Help\": type help for the commands.\r\n$ "));
    EXPECT_TRUE(peer_->wait_for("datagrams refused: 0\r\n$ "));
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
}

// Commands from a pipe, one a line, without prompts; the end of the input
// ends the program as "exit" does.
TEST(LanlinkPipe, CommandsFromAPipeRunInOrderUntilItsEnd) {
    const LoopbackUdp other;
    const int port = testsupport::free_udp_port();
    Child child({LANLINK_BINARY, "-y", "--prompt", "--answer-to", "127.0.0.1:" + sink_port(),
                 "127.0.0.1", std::to_string(other.port()), std::to_string(port)},
                Input::kPipe);
    constexpr int kLines = 2000;
    std::thread typing([&child] {
        // A line is kept to 64 KiB, first or not: of each long one, "send "
        // and 65531 bytes.
        const std::string long_line = "send " + std::string(70000, 'x') + "\n";
        std::string lines = long_line + "send\nfirst words\n" + long_line;
        for (int i = 0; i < kLines; ++i) {
            lines += "send m" + std::to_string(i) + "\n";
        }
        child.write(lines + "stats");  // the last line without its line end
        child.close_input();
    });
    std::vector<std::string> words;
    for (int i = 0; i < 3 * (kLines + 1); ++i) {
        const auto got = other.receive(milliseconds(5000));
        if (!got) {
            break;
        }
        if (i % 3 == 2) {
            words.push_back(got->bytes.substr(0, got->bytes.find('\0')));
        }
    }
    typing.join();
    EXPECT_EQ(exit_code(child.wait_exit(milliseconds(10000))), 0);
    ASSERT_EQ(words.size(), static_cast<std::size_t>(kLines + 1));
    EXPECT_EQ(words.front(), "first words");
    for (int i = 0; i < kLines; ++i) {
        ASSERT_EQ(words[static_cast<std::size_t>(i) + 1], "m" + std::to_string(i));
    }
    const std::string& out = child.output();
    EXPECT_EQ(out.find(" > "), std::string::npos);  // no prompts
    EXPECT_EQ(out.find("$ "), std::string::npos);
    EXPECT_NE(out.find("Sent \"first words\" to 127.0.0.1"), std::string::npos);
    const std::string not_sent = "Not sent: the message is 65531 bytes long";
    const std::size_t first = out.find(not_sent);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(out.find(not_sent, first + 1), std::string::npos);
    EXPECT_NE(out.find("vectors sent: " + std::to_string(kLines + 1) + "\n"), std::string::npos);
    EXPECT_NE(out.find(kShutdown), std::string::npos);
    // -y: the arguments are shown, and no question is asked.
    EXPECT_EQ(out.rfind("\n   IP Address to connect to: 127.0.0.1\n  Port number to connect to: " +
                            std::to_string(other.port()) + "\nListen port to recieve from: " +
                            std::to_string(port) + "\nAccepting connections on port: ",
                        0),
              0U)
        << out.substr(0, 300);
}

// -q: no start-up and shut-down lines and no account of answers; the
// printouts, command output and errors stay. -v: each printout says where
// and when it came from.
TEST(LanlinkPipe, QuietAndVerbose) {
    const LoopbackUdp answers;
    const int port = testsupport::free_udp_port();
    Child child(
        {LANLINK_BINARY, "-yqvp", "--answer-to", "127.0.0.1:" + std::to_string(answers.port()),
         "127.0.0.1", sink_port(), std::to_string(port)},
        Input::kPipe);
    const LoopbackUdp other;
    for (int i = 0; i < 100 && !testsupport::kernel_drops(static_cast<std::uint16_t>(port)); ++i) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    other.send_vector(static_cast<std::uint16_t>(port), z("a"), z("b"), z("update"));
    ASSERT_TRUE(answers.receive(milliseconds(2000)));
    ASSERT_TRUE(child.wait_for("\t MSG: update\n"));
    child.write("set_ip a..b\n");
    EXPECT_EQ(exit_code(child.wait_exit()), 1);
    const std::string out = child.output();
    const std::string from =
        "Packet array incoming!\n\t  IP: a\n\tPORT: b\n\t MSG: update\n"
        "\tFROM: 127.0.0.1:" +
        std::to_string(other.port()) + " at ";
    ASSERT_EQ(out.rfind(from, 0), 0U) << out;
    // HH:MM:SS.mmm, and nothing of the answer after it.
    const std::string time = out.substr(from.size(), 13);
    EXPECT_TRUE(std::isdigit(time[0]) && time[2] == ':' && time[5] == ':' && time[8] == '.' &&
                std::isdigit(time[11]) && time[12] == '\n')
        << time;
    EXPECT_EQ(out.substr(from.size() + 13),
              "Resolving new destination IP @ a..b on port " + sink_port() +
                  "...\nAn Error has occurred! The program must exit.\n");
    EXPECT_EQ(child.errors(), "FAILED!\nSDLNet_ResolveHost(a..b " + sink_port() +
                                  "): the name is not a known host or numeric address\n");
}

// Output that is not a terminal holds no escapes (clear is not run), and
// clear's complaints about a terminal it does not know are not shown.
TEST(LanlinkPipe, NoEscapesWhereOutputIsNotATerminal) {
    for (const char* term : {"xterm", "unknownterm"}) {
        const int port = testsupport::free_udp_port();
        Child child({"/bin/sh", "-c",
                     "TERM=" + std::string(term) + " exec " + shell_command(port) + " </dev/null"},
                    Input::kNull);
        ASSERT_TRUE(child.wait_for("recieving packets...Success!\n\n")) << term;
        const LoopbackUdp other;
        other.send_vector(static_cast<std::uint16_t>(port), z("1"), z("2"), z("quit"));
        EXPECT_EQ(exit_code(child.wait_exit()), 0);
        EXPECT_EQ(child.output().find('\x1b'), std::string::npos) << term;
        EXPECT_EQ(child.output().rfind("\n   IP Address to connect to: 127.0.0.1\n", 0), 0U);
        EXPECT_EQ(child.errors(), "") << term;
    }
    // On a terminal whose type is unknown, clear's complaint is not shown.
    const int port = testsupport::free_udp_port();
    Child child({"/bin/sh", "-c", "TERM=unknownterm exec " + shell_command(port)},
                Input::kTerminal);
    ASSERT_TRUE(child.wait_for("[Y/n] "));
    child.write("\n");
    ASSERT_TRUE(child.wait_for("recieving packets...Success!\r\n\r\n"));
    const LoopbackUdp other;
    other.send_vector(static_cast<std::uint16_t>(port), z("1"), z("2"), z("quit"));
    EXPECT_EQ(exit_code(child.wait_exit()), 0);
    EXPECT_EQ(child.output().find("unknown terminal type"), std::string::npos) << child.output();
}

}  // namespace
