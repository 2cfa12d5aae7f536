// What the end-to-end tests of lanlink share: the texts it prints, its
// command lines, a place for what it sends where no test looks, floods,
// a headless run with its output in a file, and the fixture that runs it
// on a pseudo-terminal. These check with GoogleTest, so they are built
// with the suite only.
#ifndef LANLINK_TESTS_SUPPORT_LANLINK_RUN_H
#define LANLINK_TESTS_SUPPORT_LANLINK_RUN_H

#include <gtest/gtest.h>
#include <termios.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "child.h"
#include "udp.h"

namespace testsupport {

// The usage line that a wrong number of operands, or an N at the
// confirmation, prints.
extern const char* const kUsage;
// The lines of a normal end.
extern const char* const kShutdown;
// What "help" prints.
extern const char* const kHelp;

// A socket of the test program's own for what a peer sends where no test
// looks: its answers and messages go there, never to a port another
// program on this machine may be using.
const LoopbackUdp& sink();
std::string sink_port();

// `binary` listening on `port`, its destination and its answers the sink's
// unless the answers go to `answer_port`. Its window is a second, which the
// tests' own sending cannot miss however busy the machine; with
// `own_window` it is the program's own (only the tests of the window).
std::vector<std::string> command_line(const std::string& binary, int port, int answer_port = 0,
                                      bool own_window = false);

// The same, as shell words.
std::string shell_command(const std::string& binary, int port, int answer_port = 0,
                          bool own_window = false);

// A vector whose printout is about 6 KiB (each control byte is shown as
// \xNN): a few hundred fill what waits to be written.
void send_big_vector(const LoopbackUdp& from, int port);

// Sends `count` big vectors with an update after every tenth, each update
// answered within a second while the program's output is not being read;
// returns how many vectors went.
int flood_with_updates(const LoopbackUdp& from, int port, const LoopbackUdp& answers, int count);

// An idle peer waits without a time limit: over a second it uses next to no
// CPU. A peer that polled instead would use most of that second, a hundred
// times the limit.
void expect_idle_costs_nothing(const Child& peer);

std::string read_file(const std::string& path);

// A file name of the test's own under /tmp, the file removed at the end.
class Temporary_File {
  public:
    Temporary_File();
    ~Temporary_File();
    Temporary_File(const Temporary_File&) = delete;
    Temporary_File& operator=(const Temporary_File&) = delete;
    Temporary_File(Temporary_File&&) = delete;
    Temporary_File& operator=(Temporary_File&&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_ = "/tmp/lanlink-test-XXXXXX";
};

// `binary` headless with its standard output in a file, which never holds
// it up: every printout is there.
class HeadlessToFile {
  public:
    // Answers go to 127.0.0.1 `answer_port` (0: to the sink); `own_window`
    // as for command_line().
    HeadlessToFile(const std::string& binary, int answer_port, const std::string& options,
                   bool own_window = false);
    ~HeadlessToFile();
    HeadlessToFile(const HeadlessToFile&) = delete;
    HeadlessToFile& operator=(const HeadlessToFile&) = delete;
    HeadlessToFile(HeadlessToFile&&) = delete;
    HeadlessToFile& operator=(HeadlessToFile&&) = delete;

    bool started() const;
    std::string output() const { return read_file(path_); }
    std::uint16_t port() const { return static_cast<std::uint16_t>(port_); }
    Child& child() { return *child_; }

  private:
    bool json_;
    std::string path_ = "/tmp/lanlink-output-XXXXXX";
    int port_ = 0;
    std::unique_ptr<Child> child_;
};

// The fixture of the tests that run `binary` on a terminal.
class LanlinkOnTerminal : public ::testing::Test {
  protected:
    explicit LanlinkOnTerminal(std::string binary) : binary_(std::move(binary)) {}

    // Starts lanlink on a terminal, sending to other_, with its update
    // answers going to answers_, and confirms its arguments.
    void start(const std::vector<std::string>& options = {});

    // Once a prompt could not be opened, the helpers fail at once instead
    // of waiting out their time limits again.
    void open_prompt() const;

    // Runs `line` at a fresh prompt and returns what the terminal showed
    // for it (its echo included).
    std::string command(const std::string& line) const;

    void expect_normal_end() const;

    // The program has ended and left the terminal as it found it. The
    // terminal's other side, opened before the end, keeps it readable.
    void expect_end_with_terminal_restored(int side) const;

    int other_side() const;

    // The other peer got `word` from this one as a vector.
    void expect_message(const std::string& word) const;

    void send_vector(const char* keyword) const;

    int port_ = 0;
    termios found_{};  // the terminal's settings before the program could change them
    std::unique_ptr<Child> peer_;
    LoopbackUdp other_;
    LoopbackUdp answers_;  // where the program's update answers go

  private:
    std::string binary_;
};

}  // namespace testsupport

#endif  // LANLINK_TESTS_SUPPORT_LANLINK_RUN_H
