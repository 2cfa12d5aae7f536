// Runs a program as a child, on a pseudo-terminal or on pipes, and reads what
// it prints with bounded waits.
#ifndef LANLINK_TESTS_SUPPORT_CHILD_H
#define LANLINK_TESTS_SUPPORT_CHILD_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "budget.h"

namespace testsupport {

using std::chrono::milliseconds;

enum class Input {
    kTerminal,       // standard input, output and error on one pseudo-terminal
    kNull,           // standard input /dev/null, output and error on separate pipes
    kPipe,           // standard input a pipe the test writes, output and error on pipes
    kTerminalInput,  // standard input a pseudo-terminal, output and error on pipes
};

// The child is killed (SIGKILL) when the test process ends, or when the
// thread that made it ends: make children from the test's own thread, or
// from a thread that outlives them.
class Child {
  public:
    Child(const std::vector<std::string>& argv, Input input);
    // Runs `body` in a forked child, which then ends with its result as status.
    Child(const std::function<int()>& body, Input input);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    Child(Child&&) = delete;
    Child& operator=(Child&&) = delete;

    void write(std::string_view bytes) const;
    void close_input();
    // Closes the test's end of the output pipe: the child's writes then fail.
    void close_output();
    // Closes the test's side of the terminal: the child's reads then fail,
    // and its writes too where the terminal is also its output.
    void hang_up();
    // Reads until `needle` appears after the cursor; the cursor then moves past it.
    bool wait_for(std::string_view needle, milliseconds timeout = patient());
    // Reads for `period` and returns what arrived after the cursor (cursor moves).
    std::string read_for(milliseconds period);
    // Reads whatever is waiting without blocking (keeps a chatty child from
    // stalling on a full pipe or terminal).
    void drain() { pump(milliseconds(0)); }
    // Everything printed after the cursor so far; the cursor moves to the end.
    std::string take();
    // Waits for the child to end, and takes what it left in the pipes or on
    // the terminal; its wait status, or nothing on time-out.
    std::optional<int> wait_exit(milliseconds timeout = patient());

    const std::string& output() const { return out_; }  // the terminal, or the output pipe
    const std::string& errors() const { return err_; }  // the error pipe
    pid_t pid() const { return pid_; }
    int terminal() const { return master_ >= 0 ? master_ : term_fd_; }
    void kill_now(int sig) const;

  private:
    void pump(milliseconds timeout);
    void spawn(const std::function<void()>& in_child, Input input);

    pid_t pid_ = -1;
    int master_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    int in_fd_ = -1;
    int term_fd_ = -1;  // the terminal that is only the child's input
    std::string out_;
    std::string err_;
    std::size_t cursor_ = 0;
    std::optional<int> status_;
};

// Replaces the calling (child) process with `argv`, with signals, the signal
// mask and TERM set as the tests expect.
[[noreturn]] void exec_program(const std::vector<std::string>& argv);

// exec_program() with every descriptor below FD_SETSIZE taken (the
// descriptor limit raised to allow more), so that the program's next socket
// lands above what select() can watch.
[[noreturn]] void exec_program_crowded(const std::vector<std::string>& argv);

// The CPU time `pid` has used so far, all its threads together.
std::chrono::nanoseconds cpu_time(pid_t pid);

// The exit status of a child that ended by exit(), or -1 (timed out, or
// ended by a signal).
int exit_code(const std::optional<int>& status);

// A terminal's output with its "\r\n" line ends made "\n".
std::string plain(std::string text);

// Waits until the terminal's settings satisfy `raw` (no canonical mode, or
// no echo), as a keyboard function applies them before it waits for a key.
bool wait_for_raw(int terminal, bool echo_off, milliseconds timeout = patient());

}  // namespace testsupport

#endif  // LANLINK_TESTS_SUPPORT_CHILD_H
