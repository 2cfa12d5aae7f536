// Every way out accounts for what waited: with thousands of vectors in the
// receive queue when the command, the end of input or the signal comes
// (all of it while the program was held up), each is shown, counted as not
// shown or told dropped, every update received is answered, and the
// shut-down lines come last. On a pipe and on a terminal.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <cctype>
#include <csignal>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "lanlink_e2e.h"
#include "lanlink_run.h"
#include "peer.h"
#include "udp.h"

namespace {

using testsupport::Child;
using testsupport::Input;
using testsupport::LoopbackUdp;
using testsupport::z;

struct Way {
    const char* name;
    const char* line;  // typed, or nullptr
    int sig;           // sent, or 0
    int status;        // the exit status, or the signal that ends it
};

constexpr int kVectors = 3000;

TEST(LanlinkWaysOut, WhatWaitedIsAllHandledOnEveryWayOut) {
    const Way ways[] = {{"exit", "exit", 0, 0},
                        {"send quit", "send quit", 0, 0},
                        {"end of input", nullptr, 0, 0},
                        {"a failed set_ip", "set_ip a..b", 0, 1},
                        {"SIGTERM", nullptr, SIGTERM, SIGTERM},
                        {"SIGINT", nullptr, SIGINT, SIGINT},
                        {"SIGHUP", nullptr, SIGHUP, SIGHUP}};
    for (const Input input : {Input::kPipe, Input::kTerminal}) {
        for (const Way& way : ways) {
            const std::string what =
                std::string(way.name) + (input == Input::kPipe ? " on a pipe" : " on a terminal");
            const LoopbackUdp answers;
            const int port = testsupport::free_udp_port();
            std::unique_ptr<Child> peer;
            if (input == Input::kPipe) {
                std::vector<std::string> argv = e2e::command_line(port, answers.port());
                argv.insert(argv.begin() + 1, {"-y", "-p"});
                peer = std::make_unique<Child>(argv, Input::kPipe);
                ASSERT_TRUE(peer->wait_for("recieving packets...Success!\n\n")) << what;
            } else {
                peer = testsupport::start_peer(LANLINK_BINARY, port, testsupport::sink().port(),
                                               answers.port());
                ASSERT_TRUE(peer && testsupport::open_prompt(*peer)) << what;
            }
            peer->kill_now(SIGSTOP);
            const LoopbackUdp sender;
            for (int i = 0; i < kVectors; ++i) {
                const bool update = i % 4 == 0;
                sender.send_vector(static_cast<std::uint16_t>(port),
                                   z((update ? "u" : "v") + std::to_string(i)), z("1"),
                                   z(update ? "update" : "hello"));
            }
            if (way.line != nullptr) {
                peer->write(std::string(way.line) + "\n");
            } else if (way.sig != 0) {
                peer->kill_now(way.sig);
            } else if (input == Input::kPipe) {
                peer->close_input();
            } else {
                peer->write("\x04");  // Ctrl-D on the empty line
            }
            // The answers are read as they come, so that none waits for room.
            std::set<std::string> answered;
            const auto take_answers = [&answered, &answers](std::chrono::milliseconds wait) {
                while (const auto got = answers.receive(wait)) {
                    if (got->bytes.size() > 1 && got->bytes[0] == 'u' &&
                        std::isdigit(static_cast<unsigned char>(got->bytes[1])) != 0) {
                        answered.insert(got->bytes.substr(0, got->bytes.find('\0')));
                    }
                }
            };
            std::atomic<bool> ended{false};
            std::thread reading([&ended, &take_answers] {
                while (!ended) {
                    take_answers(std::chrono::milliseconds(20));
                }
            });
            peer->kill_now(SIGCONT);
            const auto status = peer->wait_exit();
            ended = true;
            reading.join();
            take_answers(std::chrono::milliseconds(0));  // what came last
            ASSERT_TRUE(status) << what;
            if (way.sig != 0) {
                EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == way.status) << what;
            } else {
                EXPECT_EQ(testsupport::exit_code(status), way.status) << what;
            }
            const std::string out = testsupport::plain(peer->output());
            const auto [shown, not_shown] = testsupport::shown_and_not_shown(out);
            const long dropped = testsupport::told_count(out, " dropped by the system");
            EXPECT_EQ(shown + not_shown + dropped, kVectors) << what;
            // Every update shown was answered, and with nothing dropped, all were.
            std::set<std::string> shown_updates;
            for (const testsupport::Printout& p : testsupport::printouts_in(out)) {
                if (p.msg == "update") {
                    shown_updates.insert(p.ip);
                }
            }
            for (const std::string& update : shown_updates) {
                EXPECT_EQ(answered.count(update), 1U) << what << ": " << update;
            }
            if (dropped == 0) {
                EXPECT_EQ(answered.size(), static_cast<std::size_t>(kVectors / 4)) << what;
            }
            const std::string end = "Exiting SDLNet and terminating server...Done!\n";
            ASSERT_GE(out.size(), end.size()) << what;
            EXPECT_EQ(out.substr(out.size() - end.size()), end) << what;
            EXPECT_EQ(out.find("left unread"), std::string::npos) << what;
        }
    }
}

}  // namespace
