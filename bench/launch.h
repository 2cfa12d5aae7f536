// The programs the cost set measures, each started with its standard
// input, output and error as the measure wants them: all three /dev/null
// (as a service is started), output to a file, output to a pipe the
// benchmark reads, or a pseudo-terminal of its own. Whatever a program
// writes to a pipe or a terminal is read at once by one reading thread, as
// a terminal emulator or a consumer would, and counted.
#ifndef LANLINK_BENCH_LAUNCH_H
#define LANLINK_BENCH_LAUNCH_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

enum class Output {
    kNull,      // standard input, output and error /dev/null
    kFile,      // standard output into a file, input and error /dev/null
    kPipe,      // standard output into a pipe the benchmark reads, input and error /dev/null
    kTerminal,  // standard input, output and error one pseudo-terminal
};

struct Stream;

class Program {
  public:
    // Starts `argv` (its first word a path); `file` is where the output goes
    // with Output::kFile. The program is killed when the benchmark ends.
    Program(const std::vector<std::string>& argv, Output output, const std::string& file = "");
    ~Program();  // kills it unless it has ended
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    Program(Program&&) = delete;
    Program& operator=(Program&&) = delete;

    pid_t pid() const { return pid_; }
    // Writes to the terminal (Output::kTerminal only).
    void write(std::string_view bytes) const;
    // Whether `text` appears in what it wrote to its pipe or terminal (its
    // first 64 KiB are kept) within `timeout`.
    bool wait_for(std::string_view text, std::chrono::milliseconds timeout);
    // The first 64 KiB it wrote to its pipe or terminal.
    std::string output() const;
    // What it wrote to its pipe or terminal so far.
    long long bytes_out() const;
    long long lines_out() const;
    // Looks for `text` in every read of its output from now on (a text that
    // two reads split is missed); said() tells whether it came.
    void watch(const std::string& text);
    // Whether `text` came: in its first 64 KiB, or, watched, in any read.
    bool said(std::string_view text) const;
    // Its wait status once it has ended within `timeout`; nothing otherwise.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    void kill_now();

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::shared_ptr<Stream> stream_;  // the pipe or terminal read, if any
    int master_ = -1;                 // the terminal's master side
};

// A folder of the run's own under /tmp, removed with everything in it
// when the benchmark ends.
const std::string& scratch_dir();
void remove_scratch_dir();

// Waits until a UDP socket is bound to `port` (IPv4), up to `timeout`.
bool wait_bound(std::uint16_t port, std::chrono::milliseconds timeout);

// Sets SO_RCVBUF to `bytes` (which the kernel doubles) on every UDP socket
// of process `pid` bound to `port`, through a copy of its descriptor: what
// the program would get asking for more with rmem_max at `bytes`. The
// queue size each then has, in bytes; empty when none was found. With
// `bytes` 0 nothing is set, only the sizes read.
std::vector<int> set_receive_queue(pid_t pid, std::uint16_t port, int bytes);

// The process's state letter from /proc (R, S, Z...), or '?' once it has gone.
char process_state(pid_t pid);

// A wait status as words: "status 0", "killed by signal 11 (Segmentation fault)".
std::string describe_status(const std::optional<int>& status);

}  // namespace bench

#endif  // LANLINK_BENCH_LAUNCH_H
