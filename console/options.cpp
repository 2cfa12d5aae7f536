#include "options.h"

#include <getopt.h>

#include <string>

#include "command_line.h"
#include "trust.h"

namespace console {

namespace {

// Long options without a letter of their own.
constexpr int kAnswerTo = 256;
constexpr int kNewKey = 257;
constexpr int kMaxSkew = 258;
constexpr int kJson = 259;
constexpr int kLongestSkewSeconds = 86400;

constexpr int kShortestWindowMs = 1;
constexpr int kLongestWindowMs = 1000;

bool refuse(Text_Out& out, const std::string& message) {
    out.put(2, "lanlink: " + message + "\nTry 'lanlink --help' for more information.\n",
            Kind::kConsole);
    return false;
}

}  // namespace

bool parse_options(int argc, char** argv, Options& options, Text_Out& out) {
    static const option kLong[] = {{"help", no_argument, nullptr, 'h'},
                                   {"ipv4", no_argument, nullptr, '4'},
                                   {"ipv6", no_argument, nullptr, '6'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {"window", required_argument, nullptr, 'W'},
                                   {"allow", required_argument, nullptr, 'a'},
                                   {"answer-to", required_argument, nullptr, kAnswerTo},
                                   {"key", required_argument, nullptr, 'k'},
                                   {"new-key", required_argument, nullptr, kNewKey},
                                   {"max-skew", required_argument, nullptr, kMaxSkew},
                                   {"json", no_argument, nullptr, kJson},
                                   {"capture", required_argument, nullptr, 'w'},
                                   {"prompt", no_argument, nullptr, 'p'},
                                   {"yes", no_argument, nullptr, 'y'},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {"verbose", no_argument, nullptr, 'v'},
                                   {nullptr, 0, nullptr, 0}};
    opterr = 0;
    optind = 0;  // 0, not 1: glibc then starts afresh, also after an earlier scan
    int opt = 0;
    std::string error;
    // The leading ':' tells a missing value (':') from an unknown option ('?').
    bool ipv4 = false;
    bool ipv6 = false;
    while ((opt = getopt_long(argc, argv, ":hV46W:a:k:w:pyqv", kLong, nullptr)) != -1) {
        switch (opt) {
            case '4':
                ipv4 = true;
                break;
            case '6':
                ipv6 = true;
                break;
            case 'p':
                options.prompt = true;
                break;
            case 'y':
                options.yes = true;
                break;
            case 'q':
                options.text.quiet = true;
                break;
            case 'v':
                options.text.verbose = true;
                break;
            case 'h':
                options.help = true;
                break;
            case 'V':
                options.version = true;
                break;
            case 'W': {
                int ms = 0;
                if (!cli::whole_number(optarg, kShortestWindowMs, kLongestWindowMs, ms)) {
                    return refuse(out, cli::written_option(argv, opt) +
                                           " takes milliseconds from 1 to 1000, not '" + optarg +
                                           "'");
                }
                options.peer.window = std::chrono::milliseconds(ms);
                break;
            }
            case 'a': {
                net::Network network;
                if (!net::parse_network(optarg, network, error)) {
                    return refuse(out, cli::written_option(argv, opt) +
                                           " takes ADDRESS[/BITS], not '" + optarg + "': " + error);
                }
                options.peer.allow.push_back(network);
                break;
            }
            case 'k':
                options.key_file = optarg;
                break;
            case kJson:
                // JSON Lines and nothing else: no question, no progress lines.
                options.json = true;
                options.yes = true;
                options.text.quiet = true;
                break;
            case 'w':
                if (std::string(optarg) == "-") {
                    return refuse(out, cli::written_option(argv, opt) +
                                           " takes a file, not '-': standard output is the "
                                           "console's");
                }
                options.peer.capture_file = optarg;
                break;
            case kNewKey:
                options.new_key_file = optarg;
                break;
            case kMaxSkew:
                if (!cli::whole_number(optarg, 1, kLongestSkewSeconds, options.peer.max_skew_s)) {
                    return refuse(out, "--max-skew takes seconds from 1 to 86400, not '" +
                                           std::string(optarg) + "'");
                }
                break;
            case kAnswerTo:
                if (!net::parse_answer_to(optarg, options.peer.answer_to, error)) {
                    return refuse(out, "--answer-to takes HOST[:PORT] or sender[:PORT], not '" +
                                           std::string(optarg) + "': " + error);
                }
                break;
            case ':':
                optarg = nullptr;
                return refuse(out,
                              "option '" + cli::written_option(argv, optopt) + "' needs a value");
            default:
                optarg = nullptr;
                if (optopt != 0) {
                    return refuse(
                        out, std::string("unknown option '-") + static_cast<char>(optopt) + "'");
                }
                return refuse(out, "unknown option '" + cli::written_option(argv, '?') + "'");
        }
    }
    if (ipv4 && ipv6) {
        return refuse(out, "-4 and -6 cannot be given together");
    }
    options.peer.family = ipv4   ? net::Family::kIpv4
                          : ipv6 ? net::Family::kIpv6
                                 : net::Family::kBoth;
    options.operands.assign(argv, argv + 1);
    options.operands.insert(options.operands.end(), argv + optind, argv + argc);
    return true;
}

}  // namespace console
