// The console's commands run from lines, on a real service on loopback:
// what each line prints and how it ends the work.
#include "commands.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "render_text.h"
#include "udp.h"
#include "udp_server_service.h"

namespace {

using console::Outcome;

struct Kept final : console::Text_Out {
    std::string text;
    bool put(int fd, std::string_view t, console::Kind /*kind*/) override {
        text += (fd == 2 ? "E:" : "") + std::string(t);
        return true;
    }
    void finish() override {}
    std::uint64_t not_shown() const override { return 3; }
};

TEST(Commands, EachLineRunsItsCommandAndTheEndsAreTold) {
    Kept out;
    console::Text_Renderer renderer(out, {true, false});
    const testsupport::LoopbackUdp other;
    UDP_Server_Service service(testsupport::free_udp_port(), renderer, "127.0.0.1", other.port());
    const std::string to = "127.0.0.1 on port " + std::to_string(other.port());
    struct Case {
        std::vector<std::string> lines;
        std::string shown;
        Outcome outcome;
    };
    const std::vector<Case> cases = {
        {{"   "}, "", Outcome::kGoOn},
        {{"show_dest_info extra words"}, "Sending packets to " + to + "\n", Outcome::kGoOn},
        {{"set_port", "", "+5"},
         "Setting destination port 5 @ 127.0.0.1...Success!\n",
         Outcome::kGoOn},
        {{"set_port 12x"},
         " > Port \"12x\" is not a whole decimal number: the destination stays 127.0.0.1 on "
         "port 5.\n",
         Outcome::kGoOn},
        {{"set_port -1"},
         " > Port -1 is outside 0 to 65535: the destination stays 127.0.0.1 on port 5.\n",
         Outcome::kGoOn},
        {{"set_port -21474836470"},
         " > Port -2147483648 is outside 0 to 65535: the destination stays 127.0.0.1 on port "
         "5.\n",
         Outcome::kGoOn},
        {{"set_port 99999999999"},
         " > Port 2147483647 is outside 0 to 65535: the destination stays 127.0.0.1 on port "
         "5.\n",
         Outcome::kGoOn},
        {{"set_ip a..b"},
         " > Resolving new destination IP @ a..b on port 5...E:FAILED!\nSDLNet_ResolveHost(a..b "
         "5): the name is not a known host or numeric address\n\nAn Error has occurred! The "
         "program must exit.\n",
         Outcome::kDestinationFailed},
        {{"stats"}, "", Outcome::kGoOn},
        {{"Exit"}, "Unknown command \"Exit\": type help for the commands.\n", Outcome::kGoOn},
        {{"exit now"}, "", Outcome::kOperatorEnded},
        {{"send quit now"}, "", Outcome::kGoOn},
        {{"send", "quit"}, "", Outcome::kOperatorEnded},
    };
    for (const Case& c : cases) {
        console::Commands commands(service, renderer, out, true);
        out.text.clear();
        Outcome outcome = Outcome::kGoOn;
        for (const std::string& line : c.lines) {
            outcome = commands.take(console::Words(line));
        }
        EXPECT_EQ(outcome, c.outcome) << c.lines.front();
        if (c.lines.front() == "stats") {
            EXPECT_NE(out.text.find("printouts not shown: 3\n"), std::string::npos);
        } else if (c.lines.front().rfind("send", 0) == 0) {
            EXPECT_EQ(out.text.rfind(c.lines.size() == 1 ? " > Sent" : "Sent", 0), 0U) << out.text;
            EXPECT_EQ(out.text.find("msg = quit") != std::string::npos,
                      c.outcome == Outcome::kOperatorEnded);
        } else {
            EXPECT_EQ(out.text, c.shown) << c.lines.front();
        }
    }
}

}  // namespace
