// lanlink-send against a running lanlink, against a scripted responder and
// on its own, on 127.0.0.1 only.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "peer.h"
#include "udp.h"

namespace {

using std::chrono::milliseconds;
using testsupport::Child;
using testsupport::exit_code;
using testsupport::Input;
using testsupport::LoopbackUdp;
using testsupport::z;

struct SendResult {
    int code;
    std::string out;
    std::string err;
};

std::vector<std::string> send_command(std::vector<std::string> args) {
    args.insert(args.begin(), LANLINK_SEND_BINARY);
    return args;
}

// A port for lanlink-send to wait for answers on, where nothing else listens.
std::string listen_port() {
    return std::to_string(testsupport::free_udp_port());
}

SendResult run_send(const std::vector<std::string>& args) {
    Child child(send_command(args), Input::kNull);
    const int code = exit_code(child.wait_exit(testsupport::patient()));
    return {code, child.output(), child.errors()};
}

// For requests to a running peer: when the machine is starved of CPU, the
// scheduler may hold lanlink-send up between its three datagrams for longer
// than a peer waits to complete a vector, and the request goes unanswered.
// Trying again tells that apart from a real fault, which fails every try.
SendResult run_send_to_peer(const std::vector<std::string>& args, Child& peer) {
    SendResult result{};
    for (int tries = 0; tries < 4; ++tries) {
        result = run_send(args);
        peer.drain();
        if (result.code != 2) {
            break;
        }
    }
    return result;
}

// The nine bytes an answer carries for `text`.
std::string nine(const std::string& text) {
    std::string bytes = text.substr(0, 9);
    bytes.resize(9, '\0');
    return bytes;
}

int count_of(const std::string& text, const std::string& needle) {
    int found = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++found;
    }
    return found;
}

// A stand-in peer on 127.0.0.1 that answers each request to its answer
// port as lanlink does, or as `script` says: it is called with the request's
// number and texts and the responder.
class Responder {
  public:
    using Script = std::function<void(int, const std::vector<std::string>&, const Responder&)>;

    Responder(int requests, const Script& script)
        : thread_([this, requests, script] {
              for (int i = 0; i < requests; ++i) {
                  std::vector<std::string> texts;
                  while (texts.size() < 3) {
                      const auto got = socket_.receive(testsupport::patient());
                      if (!got) {
                          return;
                      }
                      texts.push_back(got->bytes.substr(0, got->bytes.find('\0')));
                  }
                  script(i, texts, *this);
              }
          }) {}
    ~Responder() { thread_.join(); }
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;
    Responder(Responder&&) = delete;
    Responder& operator=(Responder&&) = delete;

    std::string port() const { return std::to_string(socket_.port()); }
    // Where lanlink-send waits for this responder's answers.
    const std::string& answer_port() const { return answer_port_; }

    // Three datagrams to the answer port.
    void send(const std::string& a, const std::string& b, const std::string& c) const {
        socket_.send_vector(static_cast<std::uint16_t>(std::stoi(answer_port_)), a, b, c);
    }
    void answer(const std::vector<std::string>& texts) const {
        send(nine(texts[0]), nine(texts[1]), nine("up_resp"));
    }

  private:
    LoopbackUdp socket_;
    std::string answer_port_ = listen_port();
    std::thread thread_;
};

TEST(LanlinkSend, UsageErrorsNameTheirCause) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "HOST, PORT and KEYWORD are needed"},
        {{"127.0.0.1", "4555"}, "HOST, PORT and KEYWORD are needed"},
        {{"127.0.0.1", "abc", "hello"}, "PORT must be a number from 1 to 65535, not 'abc'"},
        {{"127.0.0.1", "70000", "hello"}, "PORT must be a number from 1 to 65535, not '70000'"},
        {{"127.0.0.1", "0", "hello"}, "PORT must be a number from 1 to 65535, not '0'"},
        {{"--count", "0", "127.0.0.1", "4555", "hello"},
         "--count takes a number from 1 to 1000000, not '0'"},
        {{"127.0.0.1", "4555", "hello", "--timeout=0"},
         "--timeout takes milliseconds from 1 to 3600000, not '0'"},
        {{"-i", "-1", "127.0.0.1", "4555", "hello"},
         "-i takes milliseconds from 0 to 3600000, not '-1'"},
        {{"127.0.0.1", "4555", "hello", "--interval", "x"},
         "--interval takes milliseconds from 0 to 3600000, not 'x'"},
        {{"-l", "0", "127.0.0.1", "4555", "update"}, "-l takes a port from 1 to 65535, not '0'"},
        {{"127.0.0.1", "4555", "update", "--listen=65536"},
         "--listen takes a port from 1 to 65535, not '65536'"},
        {{"--listen", "4556x", "127.0.0.1", "4555", "update"},
         "--listen takes a port from 1 to 65535, not '4556x'"},
        {{"-xw", "127.0.0.1", "4555", "hello"}, "unknown option -x"},
        {{"--bogus", "127.0.0.1", "4555", "hello"}, "unknown option --bogus"},
        {{"127.0.0.1", "4555", "hello", "-c"}, "option -c needs a value"},
        {{"127.0.0.1", "4555", "hello", "--count"}, "option --count needs a value"},
        {{"-w", "-c", "2", "127.0.0.1", "4555", "hello", "a", "4242"},
         "with --wait and --count above 1, PORT_TEXT must be left out: each vector's own port "
         "text is what tells its answer from the others'"},
        {{"127.0.0.1", "4555", "hello", "a", "b", "c"}, "too many arguments"}};
    for (const auto& [args, message] : cases) {
        const SendResult r = run_send(args);
        EXPECT_EQ(r.code, 1) << message;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "lanlink-send: " + message +
                             "\nTry 'lanlink-send --help' for more information.\n");
    }
    const SendResult help = run_send({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_EQ(help.out.rfind("usage: lanlink-send", 0), 0U);
    const std::string last =  // the exit statuses end it
        "Exit status: 0 all sent (and answered), 1 usage error, 2 some answer did not\n"
        "arrive in time, 3 socket or resolution error, 4 output could not be written.\n";
    EXPECT_EQ(help.out.find(last), help.out.size() - last.size());
    // Port 1, the lowest that --listen takes, lets the version be shown.
    for (const SendResult& version :
         {run_send({"--version"}), run_send({"-l", "1", "--version"})}) {
        EXPECT_EQ(version.code, 0);
        EXPECT_EQ(version.out, "lanlink-send " LANLINK_VERSION "\n");
    }
    // A refused name gives a reason even where SDL_net has none.
    const SendResult refused = run_send({"a..b", "4555", "hello"});
    EXPECT_EQ(refused.code, 3);
    EXPECT_EQ(refused.err,
              "lanlink-send: SDLNet_ResolveHost(a..b 4555): the name is not a known host or "
              "numeric address\n");
    // Output that cannot be written is an error, not a silent success.
    Child full({"/bin/sh", "-c", std::string(LANLINK_SEND_BINARY) + " --help >/dev/full"},
               Input::kNull);
    EXPECT_EQ(exit_code(full.wait_exit()), 4);
    EXPECT_EQ(full.errors(),
              "lanlink-send: cannot write to standard output: No space left on device\n");
}

TEST(LanlinkSend, OptionsGoAnywhereBeforeTheirEnd) {
    const LoopbackUdp peer;
    const std::string longest(511, 'k');
    // Options after the operands; "--" ends them, so "-x" is a keyword.
    const SendResult r =
        run_send({"127.0.0.1", std::to_string(peer.port()), longest, "-c", "2", "--interval", "0"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const SendResult dashed = run_send({"--", "127.0.0.1", std::to_string(peer.port()), "-x"});
    EXPECT_EQ(dashed.code, 0) << dashed.err;
    std::vector<std::uint16_t> from;
    for (const std::string& keyword : {longest, longest, std::string("-x")}) {
        const auto address = peer.receive(testsupport::patient());
        const auto port = peer.receive(testsupport::patient());
        const auto got = peer.receive(testsupport::patient());
        ASSERT_TRUE(address && port && got);
        EXPECT_EQ(address->bytes, z("127.0.0.1"));
        // The port text is the port the vector was sent from, a new one each time.
        EXPECT_EQ(port->bytes, z(std::to_string(port->from_port)));
        EXPECT_EQ(got->bytes, z(keyword));
        from.push_back(port->from_port);
    }
    EXPECT_NE(from[0], from[1]);
    // -6 picks the family and nothing else: no answer is waited for.
    if (testsupport::have_ipv6()) {
        const LoopbackUdp peer6(0, false, 1, AF_INET6);
        const SendResult six = run_send({"::1", std::to_string(peer6.port()), "hi", "-6"});
        EXPECT_EQ(six.code, 0) << six.err;
        EXPECT_EQ(six.out, "");
        EXPECT_EQ(peer6.drain(), 3);
    }
}

TEST(LanlinkSend, RefusesATextThatCannotFitASlot) {
    const LoopbackUdp peer;
    const SendResult r =
        run_send({"127.0.0.1", std::to_string(peer.port()), "hi", std::string(512, 'a')});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("ADDRESS_TEXT is 512 bytes long"), std::string::npos);
    EXPECT_FALSE(peer.receive(milliseconds(100)));
}

// The peer answers where lanlink-send listens (--answer-to and --listen):
// two peers and an asker can share one machine.
// Over either family: the peer answers the asker's own address, where
// lanlink-send waits on IPv4 and IPv6 alike.
TEST(LanlinkSendAnswer, UpdateAgainstARunningPeer) {
    for (const std::string host : {"127.0.0.1", "::1"}) {
        if (host == "::1" && !testsupport::peer_has_ipv6()) {
            continue;  // this machine has no IPv6
        }
        const int port = testsupport::free_udp_port();
        const std::string listen = listen_port();
        auto peer = testsupport::start_peer(LANLINK_BINARY, port, testsupport::free_udp_port(), 0,
                                            nullptr, {"--answer-to", "sender:" + listen});
        ASSERT_TRUE(peer);
        const SendResult r = run_send_to_peer(
            {"-l", listen, host, std::to_string(port), "update", "10.1.2.3", "4242"}, *peer);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(
            r.out.rfind("Packet array incoming!\n\t  IP: 10.1.2.3\n\tPORT: 4242\n\t MSG: up_resp\n"
                        "round trip: ",
                        0),
            0U)
            << r.out;
        // A run that waited ends with its summary, a single vector's too.
        EXPECT_NE(r.out.find("\n1 sent, 1 answered, round trip min/median/max "),
                  std::string::npos);
        EXPECT_TRUE(peer->wait_for("\t  IP: 10.1.2.3\r\n\tPORT: 4242\r\n\t MSG: update\r\n"))
            << peer->output();
        EXPECT_TRUE(peer->wait_for("Update request complete."));
    }
}

// A key on both sides: the vector is sealed, and so is the answer. A key on
// one side only: a keyed peer refuses what is not sealed, and a keyed
// lanlink-send does not count an answer that is not.
TEST(LanlinkSendAnswer, AKeyOnBothSidesOrTheVectorOrTheAnswerIsRefused) {
    char folder[] = "/tmp/lanlink-key-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string key = std::string(folder) + "/key";
    Child made({LANLINK_BINARY, "--new-key", key}, Input::kNull);
    ASSERT_EQ(exit_code(made.wait_exit()), 0) << made.errors();
    const std::vector<std::string> keyed = {"--key", key};
    for (const auto& [peer_key, send_key] :
         std::vector<std::pair<bool, bool>>{{true, true}, {true, false}, {false, true}}) {
        const int port = testsupport::free_udp_port();
        const std::string listen = listen_port();
        std::vector<std::string> options = {"--answer-to", "sender:" + listen};
        if (peer_key) {
            options.insert(options.end(), keyed.begin(), keyed.end());
        }
        auto peer = testsupport::start_peer(LANLINK_BINARY, port, testsupport::free_udp_port(), 0,
                                            nullptr, options);
        ASSERT_TRUE(peer);
        std::vector<std::string> args = {"-t", "300", "-l", listen};
        if (send_key) {
            args.insert(args.end(), keyed.begin(), keyed.end());
        }
        args.insert(args.end(), {"127.0.0.1", std::to_string(port), "update"});
        const SendResult r = peer_key && send_key ? run_send_to_peer(args, *peer) : run_send(args);
        if (peer_key && send_key) {
            EXPECT_EQ(r.code, 0) << r.err;
            EXPECT_NE(r.out.find("1 sent, 1 answered, round trip"), std::string::npos) << r.out;
        } else if (peer_key) {
            EXPECT_EQ(r.code, 2);
            EXPECT_TRUE(
                peer->wait_for("1 vector refused: not authenticated (last from 127.0.0.1:"));
        } else {
            // Printed and answered as ever: the texts end at their zeros.
            EXPECT_TRUE(peer->wait_for("\t MSG: update\r\n"));
            EXPECT_EQ(r.code, 2);
            EXPECT_NE(r.out.find("1 sent, 0 answered, 1 unauthenticated"), std::string::npos)
                << r.out;
        }
    }
    unlink(key.c_str());
    rmdir(folder);
}

// The peer pauses 1 ms before it answers: no round trip can be shorter.
TEST(LanlinkSendAnswer, RepeatsLikePingAndNeverBeatsThePeersPause) {
    const int port = testsupport::free_udp_port();
    const std::string listen = listen_port();
    auto peer = testsupport::start_peer(LANLINK_BINARY, port, testsupport::free_udp_port(),
                                        std::stoi(listen));
    ASSERT_TRUE(peer);
    const SendResult r = run_send_to_peer({"--listen", listen, "--count", "3", "--interval", "20",
                                           "127.0.0.1", std::to_string(port), "update"},
                                          *peer);
    EXPECT_EQ(r.code, 0) << r.err;
    long long least = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str() + r.out.find("3 sent, 3 answered, round trip "),
                          "3 sent, 3 answered, round trip min/median/max %lld", &least),
              1)
        << r.out;
    EXPECT_GE(least, 950);
    peer->drain();
}

// A late answer is reported and never credited to the next request; a
// group whose slots are out of order is never taken for an answer; a run
// with an unanswered vector ends with status 2. The first request is
// answered only once the second has arrived, which lanlink-send sends only
// after the first has timed out: late whatever the machine's load, and
// with the second request's whole time still ahead of its own answer.
TEST(LanlinkSendAnswer, AnswersAreMatchedToTheirOwnRequests) {
    std::vector<std::string> first;
    Responder responder(
        3, [&first](int i, const std::vector<std::string>& texts, const Responder& from) {
            if (i == 0) {
                first = texts;  // answered late, below
            } else if (i == 1) {
                from.answer(first);
                from.send(nine(texts[1]), nine("up_resp"), nine(texts[0]));  // rotated
                from.answer(texts);
            } else {
                // Its port text but another address: not its answer either.
                from.send(nine("10.9.9.9"), nine(texts[1]), nine("up_resp"));
            }
        });
    const SendResult r = run_send({"-c", "3", "-i", "0", "-t", "400", "-l", responder.answer_port(),
                                   "127.0.0.1", responder.port(), "update"});
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_EQ(count_of(r.out, "Packet array incoming!"), 1) << r.out;
    EXPECT_EQ(count_of(r.out, "\t MSG: up_resp\n"), 1) << r.out;
    EXPECT_NE(r.out.find("3 sent, 1 answered, 1 late, round trip min/median/max "),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.err,
              "lanlink-send: no answer to vector 1 within 400 ms\n"
              "lanlink-send: late answer to vector 1 (not counted)\n"
              "lanlink-send: no answer to vector 3 within 400 ms\n");
}

TEST(LanlinkSendAnswer, TheMedianOfAnEvenCountIsTheMeanOfTheMiddleTwo) {
    Responder responder(2, [](int i, const std::vector<std::string>& texts, const Responder& from) {
        std::this_thread::sleep_for(milliseconds(i == 0 ? 0 : 100));
        from.answer(texts);
    });
    const SendResult r = run_send({"-c", "2", "-i", "0", "-l", responder.answer_port(), "127.0.0.1",
                                   responder.port(), "update"});
    EXPECT_EQ(r.code, 0) << r.err;
    long long least = 0;
    long long middle = 0;
    long long most = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str() + r.out.find("2 sent"),
                          "2 sent, 2 answered, round trip min/median/max %lld/%lld/%lld", &least,
                          &middle, &most),
              3)
        << r.out;
    EXPECT_EQ(middle, (least + most) / 2);
    // Two apart, so that their mean is neither of them.
    EXPECT_GE(most - least, 2);
}

// Also when it was started with SIGINT blocked, as a shell may leave it.
TEST(LanlinkSendAnswer, AnInterruptEndsWithTheSummarySoFar) {
    for (const bool blocked : {false, true}) {
        Responder responder(1, [](int /*i*/, const std::vector<std::string>& texts,
                                  const Responder& from) { from.answer(texts); });
        const std::vector<std::string> argv =
            send_command({"-c", "5", "-i", "5000", "-l", responder.answer_port(), "127.0.0.1",
                          responder.port(), "update"});
        Child child(
            [&argv, blocked]() -> int {
                if (!blocked) {
                    testsupport::exec_program(argv);
                }
                std::vector<char*> args;
                for (const std::string& arg : argv) {
                    args.push_back(const_cast<char*>(arg.c_str()));
                }
                args.push_back(nullptr);
                sigset_t interrupt;
                sigemptyset(&interrupt);
                sigaddset(&interrupt, SIGINT);
                sigprocmask(SIG_BLOCK, &interrupt, nullptr);
                execv(args[0], args.data());
                return 127;
            },
            Input::kNull);
        ASSERT_TRUE(child.wait_for("round trip: ")) << blocked;
        child.kill_now(SIGINT);
        EXPECT_EQ(exit_code(child.wait_exit()), 0) << blocked;  // all it sent was answered
        EXPECT_NE(child.output().find("\n1 sent, 1 answered, round trip min/median/max "),
                  std::string::npos);
        EXPECT_NE(child.output().find(" us (interrupted)\n"), std::string::npos) << child.output();
    }
}

// Reads the three datagrams of one request from `silent`: it went out.
bool request_went_out(const LoopbackUdp& silent) {
    for (int i = 0; i < 3; ++i) {
        if (!silent.receive(testsupport::patient())) {
            return false;
        }
    }
    return true;
}

TEST(LanlinkSendAnswer, TimesOutWhereNothingAnswers) {
    using Clock = std::chrono::steady_clock;
    const LoopbackUdp silent;
    const auto start = Clock::now();
    Child waiting(send_command({"--wait", "--timeout", "100", "--listen", listen_port(),
                                "127.0.0.1", std::to_string(silent.port()), "hello"}),
                  Input::kNull);
    ASSERT_TRUE(request_went_out(silent));
    // Timed from the request, so that a slow start on a loaded machine does
    // not count: waiting the default time instead would take a second at
    // least, ten times as long.
    const auto sent = Clock::now();
    EXPECT_EQ(exit_code(waiting.wait_exit(testsupport::patient())), 2);
    const auto end = Clock::now();
    EXPECT_GE(end - start, milliseconds(100));
    EXPECT_LT(end - sent, milliseconds(1000));
    EXPECT_EQ(waiting.errors(), "lanlink-send: no answer to vector 1 within 100 ms\n");
    EXPECT_EQ(waiting.output(), "1 sent, 0 answered\n");
    EXPECT_EQ(silent.drain(), 0);  // one vector, and nothing else

    // Ctrl-C while an answer is awaited, at once after the request: the
    // summary, and no "no answer" line. Its handler is in place before the
    // request goes out, and a Ctrl-C that comes before the wait is held for it.
    Child interrupted(send_command({"--timeout", "5000", "-l", listen_port(), "127.0.0.1",
                                    std::to_string(silent.port()), "update"}),
                      Input::kNull);
    ASSERT_TRUE(request_went_out(silent));
    interrupted.kill_now(SIGINT);
    EXPECT_EQ(exit_code(interrupted.wait_exit(testsupport::patient())), 2);
    EXPECT_EQ(interrupted.output(), "1 sent, 0 answered (interrupted)\n");
    EXPECT_EQ(interrupted.errors(), "");
}

TEST(LanlinkSendAnswer, SocketsItCannotUseAreErrors) {
    const LoopbackUdp peer;
    {
        const LoopbackUdp holder;
        const std::string taken = std::to_string(holder.port());
        const SendResult r =
            run_send({"-l", taken, "127.0.0.1", std::to_string(peer.port()), "update"});
        EXPECT_EQ(r.code, 3);
        EXPECT_NE(r.err.find("lanlink-send: cannot listen for answers on port " + taken +
                             ", which may be in use (is a lanlink peer listening there?): "
                             "SDLNet_UDP_Open(" +
                             taken + "): "),
                  std::string::npos)
            << r.err;
        EXPECT_FALSE(peer.receive(milliseconds(50)));
    }
    // An answer socket above FD_SETSIZE, where SDL_net cannot wait.
    const auto argv = send_command(
        {"--wait", "-l", listen_port(), "127.0.0.1", std::to_string(peer.port()), "hello"});
    Child crowded(
        [&argv] {
            testsupport::exec_program_crowded(argv);
            return 127;
        },
        Input::kNull);
    EXPECT_EQ(exit_code(crowded.wait_exit()), 3);
    EXPECT_NE(crowded.errors().find("the socket is on descriptor 1024, and SDL_net can only wait "
                                    "on descriptors below 1024"),
              std::string::npos)
        << crowded.errors();
}

}  // namespace
