// lanlink's command line read into its options: each option's value, and
// the refusal of each bad one, named as the user wrote it.
#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child.h"
#include "console.h"
#include "service_run.h"

namespace {

// Keeps what is written to standard error.
struct Kept final : console::Text_Out {
    std::string err;
    bool put(int /*fd*/, std::string_view text, console::Kind /*kind*/) override {
        err += text;
        return true;
    }
    void finish() override {}
    std::uint64_t not_shown() const override { return 0; }
};

bool parse(std::vector<std::string> args, console::Options& options, std::string& err) {
    args.insert(args.begin(), "lanlink");
    std::vector<char*> argv;
    argv.reserve(args.size());
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    Kept out;
    const bool ok =
        console::parse_options(static_cast<int>(argv.size()), argv.data(), options, out);
    err = out.err;
    return ok;
}

TEST(Options, EachOptionTakesItsValueAndABadOneIsNamed) {
    console::Options options;
    std::string err;
    ASSERT_TRUE(parse({"-yqv", "a", "--window=7", "-p", "b", "--", "-c"}, options, err)) << err;
    EXPECT_TRUE(options.yes && options.text.quiet && options.text.verbose && options.prompt);
    EXPECT_EQ(options.peer.window.count(), 7);
    EXPECT_EQ(options.operands, (std::vector<std::string>{"lanlink", "a", "b", "-c"}));
    EXPECT_EQ(options.peer.family, net::Family::kBoth);
    ASSERT_TRUE(parse({"-4"}, options = {}, err)) << err;
    EXPECT_EQ(options.peer.family, net::Family::kIpv4);
    ASSERT_TRUE(parse({"-6"}, options = {}, err)) << err;
    EXPECT_EQ(options.peer.family, net::Family::kIpv6);
    ASSERT_TRUE(parse({"-W", "+8"}, options = {}, err)) << err;  // a sign, as set_port takes it
    EXPECT_EQ(options.peer.window.count(), 8);
    ASSERT_TRUE(parse({"-a", "10.0.0.0/8", "--allow", "127.0.0.2", "--answer-to", "sender:9"},
                      options = {}, err))
        << err;
    EXPECT_EQ(options.peer.allow.size(), 2U);
    EXPECT_TRUE(options.peer.answer_to.sender);
    EXPECT_EQ(options.peer.answer_to.endpoint.port(), 9);
    EXPECT_FALSE(options.yes || options.text.quiet);  // one option never turns on another
    // --json takes -y and -q with it, and nothing else; -w only its file.
    ASSERT_TRUE(parse({"--json", "--capture", "c.pcap"}, options = {}, err)) << err;
    EXPECT_TRUE(options.json && options.yes && options.text.quiet);
    EXPECT_FALSE(options.prompt || options.text.verbose);
    EXPECT_EQ(options.peer.capture_file, "c.pcap");
    // The key's options take their own values only.
    ASSERT_TRUE(parse({"-k", "k.key", "--max-skew", "5"}, options = {}, err)) << err;
    EXPECT_EQ(options.key_file, "k.key");
    EXPECT_EQ(options.peer.max_skew_s, 5);
    EXPECT_TRUE(options.new_key_file.empty());
    EXPECT_FALSE(options.peer.answer_to.sender);
    EXPECT_EQ(options.peer.answer_to.endpoint, net::default_answer_to().endpoint);
    ASSERT_TRUE(parse({"--new-key", "n.key"}, options = {}, err)) << err;
    EXPECT_EQ(options.new_key_file, "n.key");
    EXPECT_TRUE(options.key_file.empty());
    ASSERT_TRUE(parse({"-w", "d.pcap"}, options = {}, err)) << err;
    EXPECT_FALSE(options.json || options.yes || options.text.quiet);
    EXPECT_EQ(options.peer.capture_file, "d.pcap");

    const std::string hint = "\nTry 'lanlink --help' for more information.\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"-W", "+0"}, "-W takes milliseconds from 1 to 1000, not '+0'"},
        {{"--window", " 5"}, "--window takes milliseconds from 1 to 1000, not ' 5'"},
        {{"-a", "1.2.3.4/33"},
         "-a takes ADDRESS[/BITS], not '1.2.3.4/33': BITS must be from 0 to 32"},
        {{"--answer-to", "x:0"},
         "--answer-to takes HOST[:PORT] or sender[:PORT], not 'x:0': PORT must be from 1 to 65535"},
        {{"--allow"}, "option '--allow' needs a value"},
        {{"-x"}, "unknown option '-x'"},
        {{"--bogus=1"}, "unknown option '--bogus'"},
        {{"-w", "-"}, "-w takes a file, not '-': standard output is the console's"},
        {{"--capture=-"}, "--capture takes a file, not '-': standard output is the console's"},
        {{"-w"}, "option '-w' needs a value"},
        {{"-4", "-6"}, "-4 and -6 cannot be given together"},
    };
    for (auto [args, message] : refused) {
        EXPECT_FALSE(parse(args, options = {}, err)) << message;
        EXPECT_EQ(err, "lanlink: " + message.append(hint));
    }
}

// checkArgs(): the operands shown and the question asked; "n" or "N" alone
// refuses them, any other word or the end of input takes them; fewer than
// three are refused at once, with nothing shown.
TEST(CheckArgs, AsksAndTakesEveryAnswerButNo) {
    const struct {
        const char* answer;
        int argc;
        int taken;
    } cases[] = {{"n\n", 4, 0}, {"N\n", 4, 0}, {"no\n", 4, 1},
                 {"y\n", 4, 1}, {"", 4, 1},    {"y\n", 3, 0}};
    for (const auto& c : cases) {
        std::vector<std::string> words = {"lanlink", "127.0.0.1", "4556", "4555"};
        testsupport::Child child(
            [&words, &c] {
                std::vector<char*> argv;
                argv.reserve(words.size());
                for (std::string& word : words) {
                    argv.push_back(word.data());
                }
                return checkArgs(c.argc, argv.data());
            },
            testsupport::Input::kPipe);
        child.write(c.answer);
        child.close_input();
        EXPECT_EQ(testsupport::exit_code(child.wait_exit()), c.taken) << c.answer;
        EXPECT_EQ(child.output(), c.argc < 4 ? ""
                                             : "\n   IP Address to connect to: 127.0.0.1"
                                               "\n  Port number to connect to: 4556"
                                               "\nListen port to recieve from: 4555"
                                               "\nIs this correct? [Y/n] ")
            << c.answer;
    }
}

}  // namespace
