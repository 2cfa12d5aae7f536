// lanlink with commands from a pipe, -q and -v, and output that is not a
// terminal.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "json_lines.h"
#include "lanlink_e2e.h"
#include "lanlink_run.h"
#include "pcap_read.h"
#include "udp.h"

namespace {

using e2e::shell_command;
using std::chrono::milliseconds;
using testsupport::Child;
using testsupport::exit_code;
using testsupport::Input;
using testsupport::kShutdown;
using testsupport::LoopbackUdp;
using testsupport::sink_port;
using testsupport::z;

// Commands from a pipe, one a line, without prompts; the end of the input
// ends the program as "exit" does, after every line has run, and the status
// says that some did not work.
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
        const auto got = other.receive(testsupport::patient());
        if (!got) {
            break;
        }
        if (i % 3 == 2) {
            words.push_back(got->bytes.substr(0, got->bytes.find('\0')));
        }
    }
    typing.join();
    EXPECT_EQ(exit_code(child.wait_exit(testsupport::patient())), 1);
    EXPECT_EQ(child.errors(), "2 commands failed\n");  // the two messages too long to send
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
    // -q alone adds nothing of -v: the printout is its four lines.
    for (const std::string flags : {"-yqvp", "-yqp"}) {
        const bool verbose = flags.find('v') != std::string::npos;
        const LoopbackUdp answers;
        const int port = testsupport::free_udp_port();
        Child child(
            {LANLINK_BINARY, flags, "--answer-to", "127.0.0.1:" + std::to_string(answers.port()),
             "127.0.0.1", sink_port(), std::to_string(port)},
            Input::kPipe);
        const LoopbackUdp other;
        testsupport::eventually([port] {
            return testsupport::kernel_drops(static_cast<std::uint16_t>(port)).has_value();
        });
        other.send_vector(static_cast<std::uint16_t>(port), z("a"), z("b"), z("update"));
        ASSERT_TRUE(answers.receive(testsupport::patient()));
        ASSERT_TRUE(child.wait_for("\t MSG: update\n"));
        child.write("set_ip a..b\n");
        EXPECT_EQ(exit_code(child.wait_exit()), 1);
        const std::string out = child.output();
        const std::string from =
            "Packet array incoming!\n\t  IP: a\n\tPORT: b\n\t MSG: update\n" +
            (verbose ? "\tFROM: 127.0.0.1:" + std::to_string(other.port()) + " at " : "");
        ASSERT_EQ(out.rfind(from, 0), 0U) << out;
        // HH:MM:SS.mmm, and nothing of the answer after it.
        const std::string time = verbose ? out.substr(from.size(), 13) : "";
        EXPECT_TRUE(!verbose || (std::isdigit(time[0]) && time[2] == ':' && time[5] == ':' &&
                                 time[8] == '.' && std::isdigit(time[11]) && time[12] == '\n'))
            << time;
        EXPECT_EQ(out.substr(from.size() + time.size()),
                  "Resolving new destination IP @ a..b on port " + sink_port() +
                      "...\nAn Error has occurred! The program must exit.\n")
            << flags;
        EXPECT_EQ(child.errors(), "FAILED!\nSDLNet_ResolveHost(a..b " + sink_port() +
                                      "): the name is not a known host or numeric address\n"
                                      "1 command failed\n");
    }
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
    // On a terminal it knows, the screen is cleared after the question; on
    // one whose type is unknown, clear's complaint is not shown.
    for (const std::string term : {"xterm", "unknownterm"}) {
        const int port = testsupport::free_udp_port();
        Child child({"/bin/sh", "-c", "TERM=" + term + " exec " + shell_command(port)},
                    Input::kTerminal);
        ASSERT_TRUE(child.wait_for("[Y/n] "));
        child.write("\n");
        ASSERT_TRUE(child.wait_for("recieving packets...Success!\r\n\r\n"));
        const LoopbackUdp other;
        other.send_vector(static_cast<std::uint16_t>(port), z("1"), z("2"), z("quit"));
        EXPECT_EQ(exit_code(child.wait_exit()), 0);
        const std::string& out = child.output();
        EXPECT_EQ(out.find("unknown terminal type"), std::string::npos) << out;
        const auto cleared = out.find("\x1b[H\x1b[2J");
        EXPECT_EQ(cleared != std::string::npos, term == "xterm") << term;
        if (term == "xterm") {
            EXPECT_LT(cleared, out.find("Accepting connections"));
        }
    }
}

// The capture of the session below: each datagram received (16, refused
// ones included) and sent (6), with IP and UDP headers of the real
// endpoints, each vector's last datagram at the time the JSON tells; with
// tshark, checksums right and the texts in order through the dissector.
void expect_capture(const std::string& path, int port, int other, int answers,
                    const std::string& json) {
    const testsupport::Capture_File file = testsupport::read_capture(path);
    ASSERT_EQ(file.error, "");
    EXPECT_TRUE(file.nanoseconds);
    EXPECT_EQ(file.link_type, DLT_RAW);
    ASSERT_EQ(file.packets.size(), 22U);
    const std::string peer_at = "127.0.0.1:" + std::to_string(port);
    int to_peer = 0;
    std::vector<std::string> sent_to;
    std::set<std::string> sent_from;  // the sending socket's own port, one for all
    std::string texts;
    for (const testsupport::Captured& packet : file.packets) {
        to_peer += packet.to == peer_at || packet.to == "127.0.0.2:" + std::to_string(port) ? 1 : 0;
        if (packet.from.rfind("127.0.0.1:", 0) == 0 && packet.to != peer_at &&
            packet.to.find(":" + std::to_string(port)) == std::string::npos) {
            sent_to.push_back(packet.to);
            sent_from.insert(packet.from);
        }
        EXPECT_EQ(packet.size, packet.payload.size());
        texts += packet.payload.substr(0, packet.payload.find('\0')) + "\n";
    }
    EXPECT_EQ(to_peer, 16);
    const std::string answers_at = "127.0.0.1:" + std::to_string(answers);
    const std::string other_at = "127.0.0.1:" + std::to_string(other);
    EXPECT_EQ(sent_to, std::vector<std::string>(
                           {answers_at, answers_at, answers_at, other_at, other_at, other_at}));
    ASSERT_EQ(sent_from.size(), 1U);
    EXPECT_NE(sent_from.begin()->substr(sent_from.begin()->rfind(':')), ":0");
    for (const auto& line :
         json.empty() ? std::vector<testsupport::Json_Line>() : testsupport::json_lines(json)) {
        if (line.at("event") != "vector" && line.at("event") != "incomplete") {
            continue;
        }
        int found = 0;
        for (const testsupport::Captured& packet : file.packets) {
            found += packet.from == line.at("from") &&
                             testsupport::rfc3339(packet.when) == line.at("time")
                         ? 1
                         : 0;
        }
        EXPECT_EQ(found, 1) << line.at("time") << " from " << line.at("from");
    }
    if (!testsupport::have_tshark()) {
        return;
    }
    const std::string checksums = testsupport::tshark(
        "-r " + path + " -o udp.check_checksum:TRUE -T fields -e udp.checksum.status");
    EXPECT_EQ(std::count(checksums.begin(), checksums.end(), '\n') -
                  static_cast<long>(checksums.find("Running as user") != std::string::npos),
              22);
    EXPECT_EQ(checksums.find("\n2\n"), std::string::npos);  // 2: bad
    std::string decode;
    for (const int p : {port, other, answers}) {
        decode += " -d udp.port==" + std::to_string(p) + ",lanlink";
    }
    std::string shown = testsupport::tshark(
        "-r " + path + " -X lua_script:" LANLINK_SOURCE_DIR "/wireshark/lanlink.lua" + decode +
        " -T fields -e lanlink.text");
    if (const auto warning = shown.find("Running as user"); warning != std::string::npos) {
        shown.erase(warning, shown.find('\n', warning) + 1 - warning);
    }
    // tshark shows the byte that is not UTF-8 as U+FFFD.
    texts.replace(texts.find("caf\xe9"), 4, "caf\xef\xbf\xbd");
    EXPECT_EQ(shown, texts);
}

// The same session told as text and as JSON Lines: the same counts, every
// JSON line an object with the event's members, times the kernel's.
TEST(LanlinkPipe, AJsonSessionTellsWhatTheTextTells) {
    const auto utc_now = [] {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return testsupport::rfc3339(now);
    };
    std::map<std::string, long> counted[2];
    for (const bool json : {false, true}) {
        const LoopbackUdp other;
        const LoopbackUdp answers;
        const int port = testsupport::free_udp_port();
        const testsupport::Temporary_File capture;
        Child child(
            {LANLINK_BINARY, json ? "--json" : "-yqv", "-p", "-W", "300", "--allow", "127.0.0.1",
             "--answer-to", "127.0.0.1:" + std::to_string(answers.port()), "-w", capture.path(),
             "127.0.0.1", std::to_string(other.port()), std::to_string(port)},
            Input::kPipe);
        const auto to = static_cast<std::uint16_t>(port);
        ASSERT_TRUE(
            testsupport::eventually([to] { return testsupport::kernel_drops(to).has_value(); }));
        const std::string before = utc_now();
        other.send_together(to, {z("10.0.0.1"), z("4555"), z("hello")});
        other.send_together(to, {z("a"), z("b"), std::string("caf\xe9\0", 5)});
        const LoopbackUdp asker;
        asker.send_together(to, {z("a"), z("b"), z("update")});
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(answers.receive(testsupport::patient()));
        }
        const LoopbackUdp stranger(0, false, 2);
        stranger.send_together(to, {z("x"), z("y"), z("z")});
        const LoopbackUdp lone;
        lone.send(to, z("lone"));
        ASSERT_TRUE(child.wait_for("refused"));  // the first at once
        ASSERT_TRUE(child.wait_for("lone"));     // given up after the window
        child.write("send hi\nset_ip 127.0.0.1\nstats\n");
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(other.receive(testsupport::patient()));
        }
        ASSERT_TRUE(child.wait_for(json ? "\"datagrams_cut\"" : "datagrams cut"));
        other.send_together(to, {z("q"), z("q"), z("quit")});
        EXPECT_EQ(exit_code(child.wait_exit()), 0);
        const std::string after = utc_now();
        const std::string& out = child.output();
        for (const char* name : {"vectors received", "incomplete vectors", "updates answered",
                                 "vectors sent", "datagrams dropped", "datagrams refused"}) {
            std::string key = name;
            if (json) {
                std::replace(key.begin(), key.end(), ' ', '_');
                for (const auto& line : testsupport::json_lines(out)) {
                    if (line.at("event") == "stats") {
                        counted[1][name] = std::stol(line.at(key));
                    }
                }
            } else {
                const std::size_t at = out.find(key + ": ");
                ASSERT_NE(at, std::string::npos) << out;
                counted[0][name] = std::stol(out.substr(at + key.size() + 2));
            }
        }
        expect_capture(capture.path(), port, other.port(), answers.port(), json ? out : "");
        const long refused = json ? testsupport::json_count(testsupport::json_lines(out), "refused")
                                  : testsupport::told_count(out, " refused from hosts");
        EXPECT_EQ(refused, 3) << out;
        if (!json) {
            continue;
        }
        const auto lines = testsupport::json_lines(out);
        std::vector<std::string> events;  // each kind once, in the order of its first line
        std::map<std::string, std::vector<testsupport::Json_Line>> of;
        for (const auto& line : lines) {
            const std::string& event = line.at("event");
            if (of[event].empty()) {
                events.push_back(event);
            }
            of[event].push_back(line);
            if (line.count("time") != 0) {
                EXPECT_GE(line.at("time"), before);
                EXPECT_LE(line.at("time"), after);
            }
        }
        const std::vector<std::string> expected = {"vector",     "answer", "refused",
                                                   "incomplete", "sent",   "destination",
                                                   "stats",      "quit",   "end"};
        EXPECT_EQ(events, expected) << out;
        ASSERT_EQ(of["vector"].size(), 4U) << out;
        const std::string other_at = "127.0.0.1:" + std::to_string(other.port());
        EXPECT_EQ(of["vector"][0].at("from"), other_at);
        EXPECT_EQ(of["vector"][0].at("msg"), "hello");
        EXPECT_EQ(of["vector"][1].at("msg_base64"), "Y2Fm6Q==");
        EXPECT_EQ(of["vector"][3].at("msg"), "quit");
        EXPECT_EQ(of["answer"][0].at("to"), "127.0.0.1:" + std::to_string(answers.port()));
        EXPECT_EQ(of["answer"][0].at("for"), "127.0.0.1:" + std::to_string(asker.port()));
        EXPECT_EQ(of["answer"][0].at("sent"), "true");
        EXPECT_EQ(of["refused"][0].at("last_from"), "127.0.0.2:" + std::to_string(stranger.port()));
        EXPECT_EQ(of["refused"][0].at("reason"), "not allowed");
        EXPECT_EQ(of["incomplete"][0].at("from"), "127.0.0.1:" + std::to_string(lone.port()));
        EXPECT_EQ(of["incomplete"][0].count("port"), 0U);
        EXPECT_EQ(of["sent"][0].at("to"), other_at);
        EXPECT_EQ(of["sent"][0].at("msg") + of["sent"][0].at("ok"), "hitrue");
        EXPECT_EQ(of["destination"][0].at("ip"), "127.0.0.1");
        EXPECT_EQ(of["quit"][0].at("from"), other_at);
        EXPECT_EQ(lines.back().at("event"), "end");
        EXPECT_EQ(lines.back().at("vectors_received"), "5");
        EXPECT_EQ(lines.back().at("status"), "0");
    }
    EXPECT_EQ(counted[0], counted[1]);
    EXPECT_EQ(counted[0]["vectors received"], 4);
    EXPECT_EQ(counted[0]["incomplete vectors"], 1);
    EXPECT_EQ(counted[0]["updates answered"], 1);
    EXPECT_EQ(counted[0]["vectors sent"], 1);
    EXPECT_EQ(counted[0]["datagrams refused"], 3);
}

}  // namespace
