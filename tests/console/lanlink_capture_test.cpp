// lanlink -w: a capture that cannot keep up, or cannot be written at all,
// never holds the peer up; what it missed is counted exactly and told, and
// the way out does not wait on a file that takes nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <thread>

#include "child.h"
#include "json_lines.h"
#include "lanlink_e2e.h"
#include "lanlink_run.h"
#include "pcap_read.h"
#include "udp.h"

namespace {

using testsupport::Child;
using testsupport::exit_code;
using testsupport::Input;
using testsupport::LoopbackUdp;
using testsupport::z;

enum class File { kPipeReadLate, kPipeNeverRead, kFull };

// Everything the FIFO holds now, until it has no writer left (`to_end`).
std::string drain(int fd, bool to_end) {
    std::string bytes;
    char chunk[65536];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got > 0) {
            bytes.append(chunk, static_cast<std::size_t>(got));
        } else if (got == 0 || !to_end) {
            return bytes;  // no writer left, or nothing more waiting
        } else {
            pollfd in{fd, POLLIN, 0};
            poll(&in, 1, 100);
        }
    }
}

TEST(LanlinkCapture, ACaptureThatCannotKeepUpHoldsNothingUpAndMissesNothingUntold) {
    for (const File file : {File::kPipeReadLate, File::kPipeNeverRead, File::kFull}) {
        SCOPED_TRACE(static_cast<int>(file));
        const testsupport::Temporary_File fifo;
        const testsupport::Temporary_File kept;
        std::string path = "/dev/full";
        int reader = -1;
        if (file != File::kFull) {
            path = fifo.path() + ".fifo";
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
            // A reader from the start, which reads nothing for now: the
            // pipe fills, and so does the room for what waits to be written.
            reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
            ASSERT_GE(reader, 0);
        }
        const LoopbackUdp answers;
        const int port = testsupport::free_udp_port();
        Child child({LANLINK_BINARY, "--json", "-p", "-W", "1000", "--answer-to",
                     "127.0.0.1:" + std::to_string(answers.port()), "-w", path, "127.0.0.1",
                     testsupport::sink_port(), std::to_string(port)},
                    Input::kPipe);
        const auto to = static_cast<std::uint16_t>(port);
        ASSERT_TRUE(
            testsupport::eventually([to] { return testsupport::kernel_drops(to).has_value(); }));
        const LoopbackUdp sender;
        // First a burst of long datagrams, read in one turn: more than the
        // file's buffer holds before its first write.
        constexpr int kLong = 10;
        child.kill_now(SIGSTOP);
        for (int i = 0; i < kLong; ++i) {
            const std::string slot = z(std::string(500, 'L'));
            sender.send_together(to, {slot, slot, slot});
        }
        child.kill_now(SIGCONT);
        constexpr int kVectors = 1000;
        constexpr int kEvery = 50;  // an update among so many vectors
        for (int i = 1; i <= kVectors; ++i) {
            sender.send_together(
                to, {z("v"), z(std::to_string(i)), z(i % kEvery == 0 ? "update" : "m")});
            if (i % kEvery == 0) {
                // Answered whatever the capture does: the wait bounds a hang.
                for (int k = 0; k < 3; ++k) {
                    ASSERT_TRUE(answers.receive(testsupport::patient())) << "update " << i;
                }
                ASSERT_TRUE(testsupport::wait_until_read(to));
            }
        }
        std::string captured_bytes;
        std::thread late;
        if (file == File::kPipeReadLate) {
            late = std::thread([&] { captured_bytes = drain(reader, true); });
        }
        sender.send_together(to, {z("q"), z("q"), z("quit")});
        EXPECT_EQ(exit_code(child.wait_exit()), 0);
        if (late.joinable()) {
            late.join();
        } else if (reader >= 0) {
            captured_bytes = drain(reader, false);
        }
        if (reader >= 0) {
            close(reader);
            unlink(path.c_str());
        }
        const auto lines = testsupport::json_lines(child.output());
        ASSERT_FALSE(lines.empty());
        const auto& end = lines.back();
        ASSERT_EQ(end.at("event"), "end");
        const long captured = std::stol(end.at("datagrams_captured"));
        const long missed = std::stol(end.at("datagrams_not_captured"));
        const long received = 3L * (kLong + kVectors) + 3;
        const long sent = 3L * (kVectors / kEvery);
        EXPECT_EQ(std::stol(end.at("updates_answered")), kVectors / kEvery);
        EXPECT_EQ(captured + missed, received + sent);
        EXPECT_EQ(testsupport::json_count(lines, "not_captured"), missed);
        EXPECT_GT(missed, 0);
        // Told while it serves, not only at the end.
        const auto event_at = [&lines](const char* event) {
            return std::find_if(lines.begin(), lines.end(),
                                [event](const auto& line) { return line.at("event") == event; });
        };
        EXPECT_LT(event_at("not_captured"), event_at("quit"));
        long errors = 0;
        for (const auto& line : lines) {
            errors += line.at("event") == "error" ? 1 : 0;
        }
        if (file == File::kFull) {
            EXPECT_EQ(captured, 0);
            EXPECT_EQ(errors, 1);  // told once
            EXPECT_NE(
                child.output().find(
                    "\"message\":\"lanlink: cannot write the capture /dev/full: No space left "
                    "on device; the capture has stopped\""),
                std::string::npos);
            continue;
        }
        EXPECT_EQ(errors, 0);
        {
            std::FILE* out = std::fopen(kept.path().c_str(), "w");
            ASSERT_NE(out, nullptr);
            std::fwrite(captured_bytes.data(), 1, captured_bytes.size(), out);
            std::fclose(out);
        }
        const testsupport::Capture_File read = testsupport::read_capture(kept.path());
        if (file == File::kPipeReadLate) {
            // Read to its end: every datagram told as captured is there.
            EXPECT_EQ(read.error, "");
            EXPECT_EQ(static_cast<long>(read.packets.size()), captured);
        } else {
            // Given up at the end: what the file took is there, perhaps more.
            EXPECT_GE(static_cast<long>(read.packets.size()), captured);
        }
    }
}

}  // namespace
