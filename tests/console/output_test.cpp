// The output path in a child process whose standard output is a pipe the
// test reads: what the pipe takes is written at once, the rest waits in the
// queue, and the order is kept across the switch.
#include "output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "child.h"

namespace {

using std::chrono::milliseconds;
using testsupport::Child;
using testsupport::exit_code;
using testsupport::Input;

// Written with write(2): the counts must not go through what they count.
void report(const char* name, std::uint64_t value) {
    const std::string line = std::string(name) + "=" + std::to_string(value) + "\n";
    (void)!write(STDERR_FILENO, line.data(), line.size());
}

std::string numbered(const std::string& kind, int i, std::size_t size) {
    std::string text = kind + std::to_string(i) + ":";
    text.resize(size - 1, '.');
    return text + "\n";
}

// `count` of them, one after the other.
std::string numbered_run(const std::string& kind, int count, std::size_t size) {
    std::string run;
    for (int i = 0; i < count; ++i) {
        run += numbered(kind, i, size);
    }
    return run;
}

// Leaves the child's standard output unread for a while, as a stopped
// terminal would, then collects all of it: the child's status.
int run_unread(Child& child) {
    std::this_thread::sleep_for(milliseconds(300));
    return exit_code(child.wait_exit());
}

TEST(Output, WhatThePipeTakesIsWrittenAtOnceAndTheRestQueuedInOrder) {
    Child child(
        [] {
            // A one-page pipe: the big printouts cannot all fit.
            fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 4096);
            console::Output output;
            // Each printout as a wake would bring it: written at its end.
            const auto offer = [&output](const std::string& text, console::Kind kind) {
                output.put(STDOUT_FILENO, text, kind);
                output.flush();
            };
            for (int i = 0; i < 10; ++i) {
                offer(numbered("small", i, 40), console::Kind::kPrintout);
            }
            const console::OutputCounts early = output.counts();
            for (int i = 0; i < 40; ++i) {
                offer(numbered("big", i, 2000), console::Kind::kPrintout);
            }
            offer(numbered("own", 0, 40), console::Kind::kConsole);  // the program's own text
            const console::OutputCounts late = output.counts();
            output.finish();
            report("early_at_once", early.written_at_once);
            report("early_queued", early.queued);
            report("late_at_once", late.written_at_once);
            report("late_queued", late.queued);
            report("not_shown", output.not_shown());
            return 0;
        },
        Input::kNull);
    EXPECT_EQ(run_unread(child), 0);
    EXPECT_EQ(child.output(), numbered_run("small", 10, 40) + numbered_run("big", 40, 2000) +
                                  numbered("own", 0, 40));
    // The small ones went straight into the pipe; once the pipe was full
    // everything after waited in the queue, in order.
    EXPECT_NE(child.errors().find("early_at_once=10\nearly_queued=0\n"), std::string::npos)
        << child.errors();
    EXPECT_NE(child.errors().find("late_queued=40\n"), std::string::npos) << child.errors();
    EXPECT_NE(child.errors().find("not_shown=0\n"), std::string::npos) << child.errors();
}

// Bytes waiting in the pipe standard output is (nobody reads it meanwhile).
std::uint64_t in_pipe() {
    int bytes = -1;
    return ioctl(STDOUT_FILENO, FIONREAD, &bytes) == 0 ? static_cast<std::uint64_t>(bytes) : 0;
}

// What one wake of the loop brings goes out together at its end, in order,
// and texts that cannot be gathered (standard error) keep their place.
TEST(Output, PrintoutsOfOneWakeAreWrittenTogether) {
    Child child(
        [] {
            console::Output output;
            for (int i = 0; i < 10; ++i) {
                output.put(STDOUT_FILENO, numbered("a", i, 40), console::Kind::kPrintout);
            }
            const std::uint64_t gathered = in_pipe();
            output.flush();
            const std::uint64_t written = in_pipe();
            output.put(STDOUT_FILENO, numbered("b", 0, 40), console::Kind::kPrintout);
            output.put(STDERR_FILENO, "between\n", console::Kind::kConsole);
            output.put(STDOUT_FILENO, numbered("b", 1, 40), console::Kind::kPrintout);
            output.flush();
            output.finish();
            report("before", gathered);
            report("after", written);
            return 0;
        },
        Input::kNull);
    EXPECT_EQ(run_unread(child), 0);
    EXPECT_EQ(child.output(), numbered_run("a", 10, 40) + numbered_run("b", 2, 40));
    EXPECT_EQ(child.errors(), "between\nbefore=0\nafter=400\n");
}

// Each count line gives its own reason: printouts that did not fit while a
// line was typed, then printouts that did not fit because nobody read.
TEST(Output, EachCountLineGivesItsOwnReason) {
    Child child(
        [] {
            console::Output output;
            const std::string big(60 * 1024, 'x');
            const auto overflow = [&output, &big] {
                for (int i = 0; i < 20; ++i) {
                    output.put(STDOUT_FILENO, big + "\n", console::Kind::kPrintout);
                }
            };
            output.hold();
            overflow();
            output.release();
            output.flush();
            overflow();  // the pipe is full by now: nobody reads it yet
            output.finish();
            return 0;
        },
        Input::kNull);
    EXPECT_EQ(run_unread(child), 0);
    const std::string& out = child.output();
    const auto typed = out.find(" not shown (too many arrived while a line was typed)\n");
    const auto unread = out.find(" not shown (standard output was not being read)\n");
    ASSERT_NE(typed, std::string::npos);
    ASSERT_NE(unread, std::string::npos);
    EXPECT_LT(typed, unread);
    EXPECT_EQ(out.find(" not shown", typed + 1), unread);
}

// Nobody reads standard output: at the end the printouts still waiting
// are counted on standard error, only they; one too many for the bound was
// counted as not shown when it came.
TEST(Output, AtTheEndThePrintoutsNobodyReadAreCounted) {
    Child child(
        [] {
            int unread[2];
            if (pipe(unread) != 0 || dup2(unread[1], STDOUT_FILENO) < 0) {
                return 1;
            }
            fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 4096);
            console::Output output;
            output.put(STDOUT_FILENO, std::string(8192, '.'), console::Kind::kConsole);
            const int kept =
                static_cast<int>(output.put(STDOUT_FILENO, "one\n", console::Kind::kPrintout)) +
                static_cast<int>(
                    output.put(STDOUT_FILENO, std::string(1 << 20, 'x'), console::Kind::kPrintout));
            output.put(STDOUT_FILENO, "last\n", console::Kind::kAnnouncement);
            output.finish();
            report("kept", kept);
            report("not_shown", output.not_shown());
            return 0;
        },
        Input::kNull);
    EXPECT_EQ(exit_code(child.wait_exit()), 0);
    EXPECT_EQ(child.errors(),
              "1 printout not shown: standard output was not being read\nkept=1\nnot_shown=1\n");
}

}  // namespace
