// The console's one wait: for the keyboard and the receive socket together,
// so that the peer keeps answering while the operator types.
#ifndef LANLINK_CONSOLE_WAITER_H
#define LANLINK_CONSOLE_WAITER_H

#include <string>
#include <string_view>
#include <vector>

class UDP_Server_Service;

namespace console {

enum class Woken {
    kInput,         // standard input has something to read (or has ended)
    kStop,          // the other peer sent "quit"
    kOutputFailed,  // standard output could not be written
};

enum class Waiting {
    kKey,   // for a key: what the service printed is written before waiting
    kLine,  // for a line being typed: printouts are held until it has been read
};

class Waiter {
  public:
    // Waits on standard input when `input` is set, and on the service's
    // receive socket when `service` is not null.
    Waiter(UDP_Server_Service* service, bool input);

    // Waits, without a time limit, until standard input has something to
    // read or the other peer sends "quit"; every vector that arrives
    // meanwhile is received and handled at once.
    Woken wait(Waiting what);

    bool reads_input() const { return input_; }
    // The terminal has gone: from now on only the socket is waited on.
    void stop_reading_input() { input_ = false; }

  private:
    UDP_Server_Service* service_;
    bool input_;
};

enum class LineRead { kLine, kEnd, kStop, kOutputFailed };

// Reads one line from standard input, serving the socket while it waits;
// the line end is not kept, and at most 64 KiB of a longer line. kEnd at
// end of input before anything was read.
LineRead read_line(Waiter& waiter, std::string& line);

// The whitespace-separated words of `line`; a zero byte ends a word.
std::vector<std::string> words_of(std::string_view line);

// Standard output is fully buffered in one large buffer: written in whole
// pieces before each wait, and holding printouts while a line is typed.
void buffer_output();
// Writes what is buffered; false, with errno kept, when it cannot be written.
bool flush_output();
// The error of the last failed flush, for the message.
int output_errno();

}  // namespace console

#endif  // LANLINK_CONSOLE_WAITER_H
