#include "send_tool.h"

#include <getopt.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "answer_matcher.h"
#include "command_line.h"
#include "shared_key.h"
#include "slot_display.h"
#include "slot_text.h"
#include "trailer.h"
#include "vector_client.h"
#include "vector_keys.h"
#include "wire_format.h"

#ifndef LANLINK_VERSION
#define LANLINK_VERSION "unknown"
#endif

namespace {

using Clock = std::chrono::steady_clock;

// A slot holds 512 bytes, and a text travels with its terminating zero.
constexpr std::size_t kLongestText = wire::kPacketSize - 1;
constexpr int kDefaultTimeoutMs = 1000;
constexpr int kDefaultIntervalMs = 1000;
constexpr int kLongestWaitMs = 3600000;  // an hour, for --timeout and --interval
constexpr int kMostVectors = 1000000;
// A fresh sending socket may get the port of a request whose answer is
// overdue; another is opened then, at most this many times.
constexpr int kPortTries = 16;

constexpr const char* kUsage =
    "usage: lanlink-send [options] HOST PORT KEYWORD [ADDRESS_TEXT [PORT_TEXT]]\n"
    "Sends a packet vector (ADDRESS_TEXT, PORT_TEXT, KEYWORD) to the lanlink peer\n"
    "listening at HOST:PORT (HOST a name or an IPv4 or IPv6 address).\n"
    "\n"
    "  -w, --wait          wait for the \"up_resp\" answer (implied by the keyword\n"
    "                      \"update\")\n"
    "  -l, --listen PORT   wait for answers on PORT, 1 to 65535 (default 4556, where\n"
    "                      a peer sends them unless told otherwise), IPv4 and IPv6\n"
    "  -t, --timeout MS    how long to wait for each answer, 1 to 3600000 (default 1000)\n"
    "  -c, --count N       send N vectors, 1 to 1000000 (default 1)\n"
    "  -i, --interval MS   pause between vectors, 0 to 3600000 (default 1000)\n"
    "  -4, --ipv4          IPv4 only: HOST's IPv4 address, answers on IPv4\n"
    "  -6, --ipv6          IPv6 only: HOST's IPv6 address, answers on IPv6\n"
    "  -k, --key FILE      tag each vector with the shared key in FILE, and take only\n"
    "                      answers tagged with it\n"
    "  -h, --help          show this text\n"
    "  -V, --version       show the version\n"
    "\n"
    "Options may come anywhere before \"--\", which ends them. ADDRESS_TEXT defaults\n"
    "to 127.0.0.1, PORT_TEXT to the port each vector is sent from (a new one for\n"
    "each, so that answers can be told apart); with --wait and --count above 1,\n"
    "PORT_TEXT must be left to lanlink-send. Each text may be up to 511 bytes long.\n"
    "Exit status: 0 all sent (and answered), 1 usage error, 2 some answer did not\n"
    "arrive in time, 3 socket or resolution error, 4 output could not be written.\n";

volatile std::sig_atomic_t g_interrupted = 0;
// The signal mask while waiting: Ctrl-C comes in only then.
sigset_t g_waiting_mask;

extern "C" void note_interrupt(int /*sig*/) {
    g_interrupted = 1;
}

struct Options {
    bool wait = false;
    int timeout_ms = kDefaultTimeoutMs;
    int count = 1;
    int interval_ms = kDefaultIntervalMs;
    int listen_port = wire::kAnswerPort;
    std::string host;
    int port = 0;
    VectorTexts texts;
    bool port_text_given = false;
    net::Family family = net::Family::kBoth;
    std::string key_file;
};

int usage_error(const std::string& message) {
    std::fprintf(stderr, "lanlink-send: %s\nTry 'lanlink-send --help' for more information.\n",
                 message.c_str());
    return kSendUsage;
}

// Reads the command line into `options`; returns -1 to go on, or an exit status.
int parse(int argc, char** argv, Options& options) {
    static const option kLong[] = {{"wait", no_argument, nullptr, 'w'},
                                   {"timeout", required_argument, nullptr, 't'},
                                   {"count", required_argument, nullptr, 'c'},
                                   {"interval", required_argument, nullptr, 'i'},
                                   {"listen", required_argument, nullptr, 'l'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {"ipv4", no_argument, nullptr, '4'},
                                   {"ipv6", no_argument, nullptr, '6'},
                                   {"key", required_argument, nullptr, 'k'},
                                   {nullptr, 0, nullptr, 0}};
    struct Limit {
        int* value;
        int low;
        int high;
        const char* what;
    };
    opterr = 0;
    optind = 0;  // 0, not 1: glibc then starts afresh, also after an earlier scan
    int opt = 0;
    // A leading ':' tells a missing value (':') from an unknown option ('?').
    bool ipv4 = false;
    bool ipv6 = false;
    while ((opt = getopt_long(argc, argv, ":wt:c:i:l:k:hV46", kLong, nullptr)) != -1) {
        Limit limit{nullptr, 0, 0, ""};
        switch (opt) {
            case '4':
                ipv4 = true;
                break;
            case 'k':
                options.key_file = optarg;
                break;
            case '6':
                ipv6 = true;
                break;
            case 'w':
                options.wait = true;
                break;
            case 't':
                limit = {&options.timeout_ms, 1, kLongestWaitMs, "milliseconds from 1 to 3600000"};
                break;
            case 'c':
                limit = {&options.count, 1, kMostVectors, "a number from 1 to 1000000"};
                break;
            case 'i':
                limit = {&options.interval_ms, 0, kLongestWaitMs, "milliseconds from 0 to 3600000"};
                break;
            case 'l':
                limit = {&options.listen_port, 1, wire::kHighestPort, "a port from 1 to 65535"};
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                return kSendOk;
            case 'V':
                std::puts("lanlink-send " LANLINK_VERSION);
                return kSendOk;
            case ':':
                optarg = nullptr;
                return usage_error("option " + cli::written_option(argv, optopt) +
                                   " needs a value");
            default:
                if (optopt != 0) {
                    return usage_error(std::string("unknown option -") + static_cast<char>(optopt));
                }
                optarg = nullptr;
                return usage_error("unknown option " + cli::written_option(argv, '?'));
        }
        if (limit.value != nullptr &&
            !cli::whole_number(optarg, limit.low, limit.high, *limit.value)) {
            return usage_error(cli::written_option(argv, opt) + " takes " + limit.what + ", not '" +
                               optarg + "'");
        }
    }
    if (ipv4 && ipv6) {
        return usage_error("-4 and -6 cannot be given together");
    }
    options.family = ipv4 ? net::Family::kIpv4 : ipv6 ? net::Family::kIpv6 : net::Family::kBoth;
    const int left = argc - optind;
    if (left < 3 || left > 5) {
        return usage_error(left < 3 ? "HOST, PORT and KEYWORD are needed" : "too many arguments");
    }
    char** args = argv + optind;
    options.host = args[0];
    if (!cli::whole_number(args[1], 1, wire::kHighestPort, options.port)) {
        return usage_error("PORT must be a number from 1 to 65535, not '" + std::string(args[1]) +
                           "'");
    }
    options.texts.at(wire::kSlotKeyword) = args[2];
    options.texts.at(wire::kSlotAddress) = left > 3 ? args[3] : wire::kAnswerHost;
    options.port_text_given = left > 4;
    if (options.port_text_given) {
        options.texts.at(wire::kSlotPort) = args[4];
    }
    static const std::array<const char*, wire::kPacketsPerVector> kNames = {"ADDRESS_TEXT",
                                                                            "PORT_TEXT", "KEYWORD"};
    for (std::size_t i = 0; i < options.texts.size(); ++i) {
        if (options.texts.at(i).size() > kLongestText) {
            return usage_error(std::string(kNames.at(i)) + " is " +
                               std::to_string(options.texts.at(i).size()) +
                               " bytes long; a slot holds at most 511 and the terminating zero");
        }
    }
    if (!options.key_file.empty() &&
        options.texts.at(wire::kSlotKeyword).size() > wire::kLongestKeyedWord) {
        return usage_error("KEYWORD is " +
                           std::to_string(options.texts.at(wire::kSlotKeyword).size()) +
                           " bytes long; with a key a slot holds at most 451, its zero and the "
                           "trailer");
    }
    if (options.texts.at(wire::kSlotKeyword) == wire::kKeywordUpdate) {
        options.wait = true;
    }
    if (options.wait && options.count > 1 && options.port_text_given) {
        return usage_error(
            "with --wait and --count above 1, PORT_TEXT must be left out: each vector's own "
            "port text is what tells its answer from the others'");
    }
    return -1;
}

int socket_error(const std::string& message) {
    std::fprintf(stderr, "lanlink-send: %s\n", message.c_str());
    return kSendSocketError;
}

int output_error() {
    std::fprintf(stderr, "lanlink-send: cannot write to standard output: %s\n",
                 std::strerror(errno));
    return kSendOutputError;
}

bool flush_output() {
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
}

// Sleeps `ms`, or less when interrupted.
void pause_for(int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (g_interrupted == 0) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) {
            return;
        }
        const timespec limit{static_cast<time_t>(left / 1000),
                             static_cast<long>(left % 1000) * 1000000};
        ppoll(nullptr, 0, &limit, &g_waiting_mask);
    }
}

long long median(const std::vector<long long>& sorted) {
    const std::size_t middle = sorted.size() / 2;
    return sorted.size() % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

// What one run did, for the summary and the exit status.
struct Tally {
    int sent = 0;
    std::vector<long long> round_trips;
    int late = 0;
    int unauthenticated = 0;  // with a key: answers whose trailer did not verify
};

void print_summary(Tally& tally) {
    std::printf("%d sent, %zu answered", tally.sent, tally.round_trips.size());
    if (tally.late > 0) {
        std::printf(", %d late", tally.late);
    }
    if (tally.unauthenticated > 0) {
        std::printf(", %d unauthenticated", tally.unauthenticated);
    }
    if (!tally.round_trips.empty()) {
        std::sort(tally.round_trips.begin(), tally.round_trips.end());
        std::printf(", round trip min/median/max %lld/%lld/%lld us", tally.round_trips.front(),
                    median(tally.round_trips), tally.round_trips.back());
    }
    std::printf("%s\n", g_interrupted != 0 ? " (interrupted)" : "");
}

long long micros_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
}

}  // namespace

int lanlink_send_main(int argc, char** argv) {
    Options options;
    const int parsed = parse(argc, argv, options);
    if (parsed >= 0) {
        return parsed == kSendOk && !flush_output() ? output_error() : parsed;
    }

    // A shared key tags what is sent, and takes only answers it verifies.
    std::shared_ptr<const net::Shared_Key> key;
    std::unique_ptr<net::Vector_Keys> keys;
    if (!options.key_file.empty()) {
        std::string why;
        if (!net::start_sodium() || !(key = net::Shared_Key::load(options.key_file, why))) {
            std::fprintf(stderr, "lanlink-send: %s\n",
                         why.empty() ? "libsodium could not start" : why.c_str());
            return kSendUsage;
        }
        keys = std::make_unique<net::Vector_Keys>(key, wire::kDefaultMaxSkewSeconds);
    }
    Vector_Client client(options.family);
    std::string error;
    if (!client.start(error)) {
        return socket_error(error);
    }
    if (options.wait && !client.listen_for_answers(options.listen_port, error)) {
        return socket_error("cannot listen for answers on port " +
                            std::to_string(options.listen_port) +
                            ", which may be in use (is a lanlink peer listening there?): " + error);
    }
    if (!client.resolve(options.host, options.port, error)) {
        return socket_error(error);
    }
    // Ctrl-C ends the run with the summary so far, as ping does. It is let
    // in only while waiting, so that it cannot come between a look at the
    // flag and the wait that would then miss it.
    struct sigaction on_interrupt {};
    on_interrupt.sa_handler = note_interrupt;
    sigemptyset(&on_interrupt.sa_mask);
    sigaction(SIGINT, &on_interrupt, nullptr);
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    sigprocmask(SIG_BLOCK, &interrupt, &g_waiting_mask);
    sigdelset(&g_waiting_mask, SIGINT);

    Answer_Matcher matcher;
    std::map<int, int> overdue;  // port -> request whose answer may still come
    Tally tally;
    for (int i = 0; i < options.count && g_interrupted == 0; ++i) {
        if (i > 0) {
            pause_for(options.interval_ms);
            if (g_interrupted != 0) {
                break;
            }
        }
        int port = 0;
        for (int tries = 0; tries < kPortTries; ++tries) {
            if (!client.open_sender(port, error)) {
                return socket_error(error);
            }
            if (overdue.count(port) == 0) {
                break;
            }
        }
        if (const auto taken = overdue.find(port); taken != overdue.end()) {
            // Still taken: the overdue request with this port is given up.
            matcher.forget(taken->second);
            overdue.erase(taken);
        }
        if (!options.port_text_given) {
            options.texts.at(wire::kSlotPort) = std::to_string(port);
        }
        matcher.expect(i, options.texts.at(wire::kSlotAddress), options.texts.at(wire::kSlotPort));
        // Each text with its zero; with a key, the trailer after the keyword's.
        VectorTexts datagrams;
        for (std::size_t slot = 0; slot < datagrams.size(); ++slot) {
            datagrams.at(slot).assign(options.texts.at(slot).c_str(),
                                      options.texts.at(slot).size() + 1);
        }
        if (keys) {
            const net::Trailer_Bytes trailer =
                keys->seal({datagrams[0], datagrams[1], datagrams[2]}, net::now_us());
            datagrams.at(wire::kSlotKeyword)
                .append(reinterpret_cast<const char*>(trailer.data()), trailer.size());
        }
        const auto sent = Clock::now();
        if (!client.send(datagrams, error)) {
            return socket_error(error);
        }
        ++tally.sent;
        if (!options.wait) {
            continue;
        }
        const auto deadline = sent + std::chrono::milliseconds(options.timeout_ms);
        bool answered = false;
        std::string datagram;
        while (!answered) {
            const auto next =
                client.next_datagram(deadline, g_interrupted, g_waiting_mask, datagram);
            if (next != Vector_Client::Next::kDatagram) {
                break;
            }
            const std::optional<int> request = matcher.take(datagram);
            if (!request) {
                continue;
            }
            if (key) {
                const auto& answer = matcher.answer();
                if (!net::open(*key, answer[0], answer[1], answer[2])) {
                    ++tally.unauthenticated;
                    std::fprintf(stderr,
                                 "lanlink-send: an answer to vector %d does not verify under the "
                                 "key (not counted)\n",
                                 *request + 1);
                    continue;
                }
            }
            if (*request != i) {
                ++tally.late;
                std::fprintf(stderr, "lanlink-send: late answer to vector %d (not counted)\n",
                             *request + 1);
                continue;
            }
            answered = true;
            const long long micros = micros_since(sent);
            tally.round_trips.push_back(micros);
            // The answer echoed the request's texts: shown as it carried them.
            const auto echoed = [](const std::string& text) {
                const std::string bytes = Answer_Matcher::echoed(text);
                return std::string(wire::slot_text(
                    reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
            };
            std::fputs(text::vector_printout(echoed(options.texts.at(wire::kSlotAddress)),
                                             echoed(options.texts.at(wire::kSlotPort)),
                                             wire::kKeywordAnswer)
                           .c_str(),
                       stdout);
            std::printf("round trip: %lld us\n", micros);
            if (!flush_output()) {
                return output_error();
            }
        }
        if (!answered && g_interrupted == 0) {
            std::fprintf(stderr, "lanlink-send: no answer to vector %d within %d ms\n", i + 1,
                         options.timeout_ms);
            overdue[port] = i;
        }
    }

    if (!options.wait) {
        return kSendOk;
    }
    print_summary(tally);
    if (!flush_output()) {
        return output_error();
    }
    return static_cast<int>(tally.round_trips.size()) == tally.sent ? kSendOk : kSendTimedOut;
}
