// The command line of the built lanlink: operands and options refused
// before anything else happens, --help and --version, start-up with too
// few descriptors, and the confirmation of the arguments and its answers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
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
using e2e::Lanlink;
using testsupport::Child;
using testsupport::exit_code;
using testsupport::Input;
using testsupport::kHelp;
using testsupport::kUsage;
using testsupport::LoopbackUdp;
using testsupport::plain;
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

// A destination port that is a word is refused too, as set_port refuses it;
// a listen port that is a word means the default.
TEST(LanlinkArguments, PortsOutOfRangeAreRefusedBeforeTheQuestion) {
    const std::string outside = " is outside 0 to 65535\n";
    for (const auto& [dest, listen, refusal] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"4556", "70000", "listen port 70000" + outside},
             {"4556", "-1", "listen port -1" + outside},
             {"65536", "4555", "destination port 65536" + outside},
             {"99999999999999999999", "4555", "destination port 99999999999999999999" + outside},
             {"abc", "4555", "destination port abc is not a whole decimal number\n"},
             {"45x", "4555", "destination port 45x is not a whole decimal number\n"}}) {
        // "--" ends the options: "-1" is then an operand.
        Child child({LANLINK_BINARY, "--", "127.0.0.1", dest, listen}, Input::kNull);
        EXPECT_EQ(exit_code(child.wait_exit()), 1);
        EXPECT_EQ(child.output(), "");
        EXPECT_EQ(child.errors(), "lanlink: the " + refusal);
    }
}

// A key file made with --new-key is the user's alone (0600) and never
// written over; one that is not a key, that others may read or that is
// another user's is refused before the question.
TEST(LanlinkArguments, KeyFilesThatAreNotSafeAreRefusedBeforeTheQuestion) {
    char folder[] = "/tmp/lanlink-key-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string key = std::string(folder) + "/key";
    Child made({LANLINK_BINARY, "--new-key", key}, Input::kNull);
    EXPECT_EQ(exit_code(made.wait_exit()), 0) << made.errors();
    struct stat found {};
    ASSERT_EQ(stat(key.c_str(), &found), 0);
    EXPECT_EQ(found.st_mode & 07777U, 0600U);
    EXPECT_EQ(found.st_size, 45);  // 44 characters of base64 and a line end
    Child again({LANLINK_BINARY, "--new-key", key}, Input::kNull);
    EXPECT_EQ(exit_code(again.wait_exit()), 1);
    EXPECT_EQ(again.errors(),
              "lanlink: key file '" + key + "': it exists already, and is not written over\n");
    const std::string bad = std::string(folder) + "/bad";
    const auto refused = [&](const std::string& file, const std::string& why) {
        Child child({LANLINK_BINARY, "-k", file, "127.0.0.1", "9", "9"}, Input::kNull);
        EXPECT_EQ(exit_code(child.wait_exit()), 1) << why;
        EXPECT_EQ(child.output(), "") << why;
        EXPECT_EQ(child.errors(), "lanlink: key file '" + file + "': " + why + "\n");
    };
    refused(std::string(folder) + "/none", "No such file or directory");
    ASSERT_EQ(chmod(key.c_str(), 0640), 0);
    refused(key, "permissions 0640 are too open (chmod 600 " + key + ")");
    ASSERT_EQ(chmod(key.c_str(), 0600), 0);
    if (geteuid() == 0 && chown(key.c_str(), 65534, 65534) == 0) {
        refused(key, "owned by another user (uid 65534)");
    }
    for (const std::string& text : {std::string("short\n"), std::string(44, '!') + "\n",
                                    std::string(45, 'A') + "\n", std::string("")}) {
        std::FILE* file = std::fopen(bad.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs(text.c_str(), file);
        std::fclose(file);
        chmod(bad.c_str(), 0600);
        refused(bad, "not a key (one line of base64 for 32 bytes expected)");
    }
    unlink(bad.c_str());
    unlink(key.c_str());
    rmdir(folder);
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

}  // namespace
