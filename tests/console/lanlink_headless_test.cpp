// lanlink headless, on pipes or with its output in a file: it runs until
// the peer quits, makes no terminal calls, ends with status 1 when its
// output fails, and keeps closed standard descriptors from its sockets.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child.h"
#include "lanlink_e2e.h"
#include "lanlink_run.h"
#include "peer.h"
#include "udp.h"

namespace {

using e2e::command_line;
using e2e::shell_command;
using std::chrono::milliseconds;
using testsupport::Child;
using testsupport::exit_code;
using testsupport::expect_idle_costs_nothing;
using testsupport::Input;
using testsupport::kShutdown;
using testsupport::LoopbackUdp;
using testsupport::z;

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
    // Once at the end for each receive socket, and never in between here:
    // no queue could have filled. With -4, the one IPv4 socket. With standard
    // output /dev/null, nothing is written there at all, and every update is
    // still answered. With --json, whose input ends at once, the ended input
    // is not waited on again: the waits stay few.
    struct Case {
        bool ipv4_only, to_null, json;
    };
    for (const auto& [ipv4_only, to_null, json] :
         {Case{true, false, false}, Case{false, false, false}, Case{false, true, false},
          Case{false, true, true}}) {
        char trace[] = "/tmp/lanlink-trace-XXXXXX";
        const int fd = mkstemp(trace);
        ASSERT_GE(fd, 0);
        close(fd);
        const int port = testsupport::free_udp_port();
        const LoopbackUdp answers;
        std::string words = "exec /usr/bin/strace -o " + std::string(trace) +
                            " -e trace=ioctl,getsockopt,write,ppoll";
        for (const auto& arg : command_line(port, answers.port())) {
            words += " " + arg;
        }
        if (ipv4_only) {
            words += " -4";
        }
        if (json) {
            words += " --json";
        }
        Child child({"/bin/sh", "-c", words + (to_null ? " >/dev/null" : "")}, Input::kPipe);
        if (json) {
            child.close_input();
        } else {
            child.write("y\n");
        }
        const auto to = static_cast<std::uint16_t>(port);
        ASSERT_TRUE(
            testsupport::eventually([to] { return testsupport::kernel_drops(to).has_value(); }));
        const LoopbackUdp other;
        for (const char* keyword : {"hello", "update", "update", "quit"}) {
            other.send_vector(to, z("1.2.3.4"), z("99"), z(keyword));
            child.read_for(milliseconds(20));
        }
        EXPECT_EQ(exit_code(child.wait_exit()), 0);
        for (int i = 0; i < 6; ++i) {
            EXPECT_TRUE(answers.receive(testsupport::patient())) << to_null;
        }
        std::ifstream calls(trace);
        std::string line;
        int on_input = 0;
        int drop_queries = 0;
        int to_output = 0;
        int waits = 0;
        while (std::getline(calls, line)) {
            waits += line.rfind("ppoll(", 0) == 0 ? 1 : 0;
            on_input += line.rfind("ioctl(0,", 0) == 0 ? 1 : 0;
            drop_queries += line.find("SO_MEMINFO") != std::string::npos ? 1 : 0;
            // Output goes through a descriptor of the program's own.
            to_output +=
                line.rfind("write(", 0) == 0 && line.find("Packet array") != std::string::npos ? 1
                                                                                               : 0;
        }
        unlink(trace);
        EXPECT_LE(on_input, 1);
        EXPECT_LT(waits, 200) << json;  // a handful for each datagram, not a spin
        EXPECT_EQ(drop_queries, ipv4_only || !testsupport::peer_has_ipv6() ? 1 : 2) << ipv4_only;
        EXPECT_EQ(to_output == 0, to_null) << to_output;
        EXPECT_EQ(child.output().find("Packet array incoming!") == std::string::npos, to_null);
    }
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
    testsupport::eventually([&] {
        std::ifstream file(path);
        written.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        return written.find("Success!\n\n") != std::string::npos;
    });
    ASSERT_NE(written.find("Success!\n\n"), std::string::npos);
    for (int i = 0; i < 100; ++i) {
        other.send_vector(static_cast<std::uint16_t>(port), z("1.2.3.4"), z("99"), z("hello"));
    }
    EXPECT_EQ(exit_code(child.wait_exit()), 1);
    EXPECT_EQ(child.errors(), "lanlink: cannot write to standard output: File too large\n");
    unlink(path);
}

// A write error on standard output (here, a closed pipe) ends the program
// with a message and status 1, instead of a silent loss or a signal.
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

// Standard descriptors closed at start are not taken by the program's own
// sockets or pipes: a closed input is end of input (the confirmation
// accepts), and closed outputs are simply not written.
TEST(LanlinkHeadless, ClosedStandardDescriptorsAreNotTakenBySockets) {
    for (const std::string closed : {"<&-", ">&- 2>&-", "<&- >&- 2>&-"}) {
        const int port = testsupport::free_udp_port();
        Child child({"/bin/sh", "-c", "exec " + shell_command(port) + " " + closed}, Input::kNull);
        // The port is bound once start-up is done.
        const bool bound = testsupport::eventually([port] {
            return testsupport::kernel_drops(static_cast<std::uint16_t>(port)).has_value();
        });
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

}  // namespace
