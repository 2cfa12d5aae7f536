#include "lanlink_run.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "peer.h"

namespace testsupport {

const char* const kUsage =
    "\nInvalid syntax!\n\tlanlink <other_ip> <other_ip's_send_port> <listen_port>\n\n";
const char* const kShutdown =
    "\nTerminating program normally...\n"
    "Shutting down sending client...\n"
    "Freeing allocated memory for outbound packets...Done!\n"
    "Shutting down recieving client...\n"
    "Freeing allocated memory for inbound packets...Done!\n"
    "Exiting SDLNet and terminating server...Done!\n";
const char* const kHelp =
    "\n Help:\n"
    "\t        set_ip - set ip address to send to\n"
    "\t      set_port - set port number to send to\n"
    "\tshow_dest_info - displays current destination IP address and port number\n"
    "\t          send - send data packet to destination IP address at selected port\n"
    "\t          exit - quit program, but don't force other client to quit too\n"
    "\t          help - display this message\n\n"
    "\t         stats - show what was received, answered, sent and lost since start\n";

const LoopbackUdp& sink() {
    static const LoopbackUdp socket;
    return socket;
}

std::string sink_port() {
    return std::to_string(sink().port());
}

namespace {

// The window of the tests that do not test the window.
const char* const kTestWindow = "--window=1000";

}  // namespace

std::vector<std::string> command_line(const std::string& binary, int port, int answer_port,
                                      bool own_window) {
    std::vector<std::string> words = {binary};
    for (std::string& option : family_options()) {
        words.push_back(std::move(option));
    }
    if (!own_window) {
        words.emplace_back(kTestWindow);
    }
    words.insert(words.end(),
                 {"--answer-to",
                  "127.0.0.1:" + (answer_port != 0 ? std::to_string(answer_port) : sink_port()),
                  "127.0.0.1", sink_port(), std::to_string(port)});
    return words;
}

std::string shell_command(const std::string& binary, int port, int answer_port, bool own_window) {
    std::string words;
    for (const std::string& word : command_line(binary, port, answer_port, own_window)) {
        words += (words.empty() ? "" : " ") + word;
    }
    return words;
}

void send_big_vector(const LoopbackUdp& from, int port) {
    const std::string big(511, '\x01');
    from.send_vector(static_cast<std::uint16_t>(port), big, big, big);
}

int flood_with_updates(const LoopbackUdp& from, int port, const LoopbackUdp& answers, int count) {
    int sent = 0;
    for (int i = 0; i < count; ++i) {
        send_big_vector(from, port);
        ++sent;
        if (i % 10 == 9) {
            from.send_vector(static_cast<std::uint16_t>(port), z("10.0.0.2"), z("4555"),
                             z("update"));
            ++sent;
            for (int d = 0; d < 3; ++d) {
                if (!answers.receive(testsupport::patient())) {
                    ADD_FAILURE() << "no answer to the update after vector " << i;
                    return -1;
                }
            }
        }
    }
    return sent;
}

void expect_idle_costs_nothing(const Child& peer) {
    const auto before = cpu_time(peer.pid());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(cpu_time(peer.pid()) - before, milliseconds(10));
}

std::string read_file(const std::string& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

Temporary_File::Temporary_File() {
    const int fd = mkstemp(path_.data());
    if (fd >= 0) {
        close(fd);
    }
}

Temporary_File::~Temporary_File() {
    unlink(path_.c_str());
}

HeadlessToFile::HeadlessToFile(const std::string& binary, int answer_port,
                               const std::string& options, bool own_window)
    : json_(options.find("--json") != std::string::npos) {
    const int fd = mkstemp(path_.data());
    if (fd >= 0) {
        close(fd);
    }
    port_ = free_udp_port();
    child_ = std::make_unique<Child>(
        std::vector<std::string>{"/bin/sh", "-c",
                                 "exec " + shell_command(binary, port_, answer_port, own_window) +
                                     " " + options + " >" + path_},
        Input::kNull);
}

HeadlessToFile::~HeadlessToFile() {
    unlink(path_.c_str());
}

bool HeadlessToFile::started() const {
    // --json says nothing at the start: it has started once its socket is there.
    return eventually([this] {
        return json_ ? kernel_drops(port()) || kernel_drops(port(), AF_INET6)
                     : output().find("Success!\n\n") != std::string::npos;
    });
}

void LanlinkOnTerminal::start(const std::vector<std::string>& options) {
    port_ = free_udp_port();
    peer_ = start_peer(binary_, port_, other_.port(), answers_.port(), &found_, options);
    if (!peer_) {
        // Thrown, not asserted: the test body must not go on without it.
        throw std::runtime_error("lanlink did not start");
    }
}

void LanlinkOnTerminal::open_prompt() const {
    if (!HasFatalFailure()) {
        ASSERT_TRUE(testsupport::open_prompt(*peer_));
    }
}

std::string LanlinkOnTerminal::command(const std::string& line) const {
    open_prompt();
    if (HasFatalFailure()) {
        return "<no prompt>";
    }
    const std::size_t from = peer_->output().size();
    peer_->write(line + "\n");
    // The command has run once the program waits for a key again (with
    // canonical mode off), asks for its argument, or has ended.
    const auto deadline = std::chrono::steady_clock::now() + patient();
    while (std::chrono::steady_clock::now() < deadline) {
        peer_->drain();
        const std::string shown = plain(peer_->output().substr(from));
        termios now{};
        const bool idle = tcgetattr(peer_->terminal(), &now) == 0 && (now.c_lflag & ICANON) == 0;
        const bool asks = shown.size() >= 3 && shown.compare(shown.size() - 3, 3, " > ") == 0;
        if (idle || asks || kill(peer_->pid(), 0) != 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    peer_->read_for(milliseconds(20));  // what the terminal still holds
    return plain(peer_->output().substr(from));
}

void LanlinkOnTerminal::expect_normal_end() const {
    EXPECT_TRUE(peer_->wait_for("terminating server...Done!\r\n"));
    EXPECT_EQ(exit_code(peer_->wait_exit()), 0);
}

void LanlinkOnTerminal::expect_end_with_terminal_restored(int side) const {
    expect_normal_end();
    termios after{};
    ASSERT_EQ(tcgetattr(side, &after), 0);
    EXPECT_EQ(after.c_lflag, found_.c_lflag);
    EXPECT_EQ(after.c_cc[VMIN], found_.c_cc[VMIN]);
    // Nothing typed for the program is left over for the shell.
    after.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    tcsetattr(side, TCSANOW, &after);
    int left = -1;
    EXPECT_EQ(ioctl(side, FIONREAD, &left), 0);
    EXPECT_EQ(left, 0);
    close(side);
}

int LanlinkOnTerminal::other_side() const {
    return open(ptsname(peer_->terminal()), O_RDWR | O_NOCTTY);
}

void LanlinkOnTerminal::expect_message(const std::string& word) const {
    for (const std::string& expected : {z("127.0.0.1"), z(std::to_string(port_)), z(word)}) {
        const auto got = other_.receive(testsupport::patient());
        ASSERT_TRUE(got);
        EXPECT_EQ(got->bytes, expected);
    }
}

void LanlinkOnTerminal::send_vector(const char* keyword) const {
    other_.send_vector(static_cast<std::uint16_t>(port_), z("10.0.0.2"), z("4555"), z(keyword));
}

}  // namespace testsupport
