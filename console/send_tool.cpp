#include "send_tool.h"

#include <getopt.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "slot_text.h"
#include "vector_client.h"
#include "wire_format.h"

#ifndef LANLINK_VERSION
#define LANLINK_VERSION "unknown"
#endif

namespace {

// A slot holds 512 bytes, and a text travels with its terminating zero.
constexpr std::size_t kLongestText = wire::kPacketSize - 1;
constexpr int kDefaultTimeoutMs = 1000;
constexpr int kDefaultIntervalMs = 1000;

constexpr const char* kUsage =
    "usage: lanlink-send [options] HOST PORT KEYWORD [ADDRESS_TEXT [PORT_TEXT]]\n"
    "Sends one packet vector (ADDRESS_TEXT, PORT_TEXT, KEYWORD) to the lanlink peer\n"
    "listening at HOST:PORT.\n"
    "\n"
    "  -w, --wait          wait for the \"up_resp\" answer on port 4556\n"
    "                      (implied by the keyword \"update\")\n"
    "  -t, --timeout MS    how long to wait for each answer (default 1000)\n"
    "  -c, --count N       send N vectors (default 1)\n"
    "  -i, --interval MS   pause between vectors (default 1000)\n"
    "  -h, --help          show this text\n"
    "  -V, --version       show the version\n"
    "\n"
    "ADDRESS_TEXT defaults to 127.0.0.1, PORT_TEXT to the port lanlink-send sends from.\n"
    "Each text may be up to 511 bytes long.\n";

struct Options {
    bool wait = false;
    int timeout_ms = kDefaultTimeoutMs;
    int count = 1;
    int interval_ms = kDefaultIntervalMs;
    std::string host;
    int port = 0;
    VectorTexts texts;
    bool port_text_given = false;
};

int usage_error(const std::string& message) {
    std::fprintf(stderr, "lanlink-send: %s\n%s", message.c_str(), kUsage);
    return kSendUsage;
}

// A whole decimal number from `low` to `high`, or false.
bool parse_number(const char* text, int low, int high, int& value) {
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

// Reads the command line into `options`; returns -1 to go on, or an exit status.
int parse(int argc, char** argv, Options& options) {
    static const option kLong[] = {{"wait", no_argument, nullptr, 'w'},
                                   {"timeout", required_argument, nullptr, 't'},
                                   {"count", required_argument, nullptr, 'c'},
                                   {"interval", required_argument, nullptr, 'i'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
    opterr = 0;
    optind = 1;
    int opt = 0;
    while ((opt = getopt_long(argc, argv, "+wt:c:i:hV", kLong, nullptr)) != -1) {
        switch (opt) {
            case 'w':
                options.wait = true;
                break;
            case 't':
                if (!parse_number(optarg, 1, INT_MAX, options.timeout_ms)) {
                    return usage_error("--timeout takes a number of milliseconds from 1");
                }
                break;
            case 'c':
                if (!parse_number(optarg, 1, INT_MAX, options.count)) {
                    return usage_error("--count takes a number from 1");
                }
                break;
            case 'i':
                if (!parse_number(optarg, 0, INT_MAX, options.interval_ms)) {
                    return usage_error("--interval takes a number of milliseconds from 0");
                }
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                return kSendOk;
            case 'V':
                std::puts("lanlink-send " LANLINK_VERSION);
                return kSendOk;
            default:
                return usage_error("unknown option or missing value: " +
                                   std::string(argv[optind - 1]));
        }
    }
    const int left = argc - optind;
    if (left < 3 || left > 5) {
        return usage_error(left < 3 ? "HOST, PORT and KEYWORD are needed" : "too many arguments");
    }
    char** args = argv + optind;
    options.host = args[0];
    if (!parse_number(args[1], 1, 65535, options.port)) {
        return usage_error("PORT must be a number from 1 to 65535: " + std::string(args[1]));
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
    if (options.texts.at(wire::kSlotKeyword) == wire::kKeywordUpdate) {
        options.wait = true;
    }
    return -1;
}

int socket_error(const std::string& message) {
    std::fprintf(stderr, "lanlink-send: %s\n", message.c_str());
    return kSendSocketError;
}

}  // namespace

int lanlink_send_main(int argc, char** argv) {
    Options options;
    const int parsed = parse(argc, argv, options);
    if (parsed >= 0) {
        return parsed;
    }

    Vector_Client client;
    std::string error;
    if (!client.start(error)) {
        return socket_error(error);
    }
    if (options.wait && !client.listen_for_answers(error)) {
        return socket_error(
            "cannot listen for answers on port 4556, which may be in use (is a "
            "lanlink peer listening there?): " +
            error);
    }
    if (!client.resolve(options.host, options.port, error)) {
        return socket_error(error);
    }
    if (!options.port_text_given) {
        options.texts.at(wire::kSlotPort) = std::to_string(client.sender_port());
    }

    std::vector<long long> round_trips;
    for (int i = 0; i < options.count; ++i) {
        if (i > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(options.interval_ms));
        }
        client.drop_waiting_answers();
        const auto sent = std::chrono::steady_clock::now();
        if (!client.send(options.texts, error)) {
            return socket_error(error);
        }
        if (!options.wait) {
            continue;
        }
        VectorTexts answer;
        const int got =
            client.collect_answers(std::chrono::milliseconds(options.timeout_ms), answer);
        const long long micros = std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now() - sent)
                                     .count();
        if (got < wire::kPacketsPerVector) {
            std::fprintf(stderr, "lanlink-send: no answer within %d ms (%d of 3 datagrams)\n",
                         options.timeout_ms, got);
            continue;
        }
        round_trips.push_back(micros);
        std::fputs(wire::vector_printout(answer.at(wire::kSlotAddress), answer.at(wire::kSlotPort),
                                         answer.at(wire::kSlotKeyword))
                       .c_str(),
                   stdout);
        std::printf("round trip: %lld us\n", micros);
        std::fflush(stdout);
    }

    if (!options.wait) {
        return kSendOk;
    }
    const auto answered = static_cast<int>(round_trips.size());
    if (options.count > 1) {
        std::printf("%d sent, %d answered", options.count, answered);
        if (answered > 0) {
            std::sort(round_trips.begin(), round_trips.end());
            std::printf(", round trip min/median/max %lld/%lld/%lld us", round_trips.front(),
                        round_trips.at(round_trips.size() / 2), round_trips.back());
        }
        std::printf("\n");
    }
    return answered == options.count ? kSendOk : kSendTimedOut;
}
