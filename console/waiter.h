// The console's one wait: for the keyboard and the receive socket together,
// so that the peer keeps answering while the operator types.
#ifndef LANLINK_CONSOLE_WAITER_H
#define LANLINK_CONSOLE_WAITER_H

#include <string>
#include <string_view>
#include <vector>

class UDP_Server_Service;

namespace console {

class Line_Editor;

enum class Woken {
    kInput,          // standard input has something to read (or has ended)
    kStop,           // the other peer sent "quit"
    kOutputFailed,   // standard output could not be written
    kTerminalMoved,  // the program left or re-entered the terminal's foreground
};

class Waiter {
  public:
    // Waits on standard input when `input` is set, and on the service's
    // receive socket when `service` is not null. `terminal` says that
    // standard input is a terminal, whose foreground matters.
    Waiter(UDP_Server_Service* service, bool input, bool terminal);

    // Waits until standard input has something to read, the other peer
    // sends "quit", output fails or the program's place on the terminal
    // changes; every vector that arrives meanwhile is received and handled
    // at once. Standard input is only waited on while the program is in the
    // terminal's foreground: in the background it serves the socket alone.
    // No time limit, except an incomplete vector's deadline.
    Woken wait();

    bool reads_input() const { return input_; }
    // Standard input may be read now: it is no terminal, or the program is
    // in the terminal's foreground.
    bool may_read() const;
    // The terminal has gone: from now on only the socket is waited on.
    void stop_reading_input() { input_ = false; }
    // A line being edited on the terminal: printouts go above it, and it is
    // shown again below them.
    void edit_with(Line_Editor* editor) { editor_ = editor; }

  private:
    UDP_Server_Service* service_;
    bool input_;
    bool terminal_;
    Line_Editor* editor_ = nullptr;
};

// Lines from standard input, in order, one read at a time: what follows a
// line in the same read is kept for the next. A line is kept to 64 KiB; the
// rest of a longer one is dropped.
class Line_Reader {
  public:
    // Reads what waits on standard input (once): false at its end.
    bool fill();
    // The next whole line, without its line end; false when none is there.
    bool next(std::string& line);
    // At the end of input: what is left, a last line without a line end.
    bool rest(std::string& line);

  private:
    std::string buffer_;
    std::size_t unfinished_ = 0;  // bytes of the line that has no end yet
};

enum class LineRead { kLine, kEnd, kStop, kOutputFailed };

// The next line from `reader`, reading standard input as needed and serving
// the socket while it waits; the line end is not kept. kEnd at end of input
// with nothing left.
LineRead read_line(Waiter& waiter, Line_Reader& reader, std::string& line);

// The whitespace-separated words of `line`; a zero byte ends a word.
std::vector<std::string> words_of(std::string_view line);

// What follows the first `skip` words of `line`, without its leading and
// trailing blanks; inner spacing is kept, and a zero byte ends it.
std::string rest_of_line(std::string_view line, std::size_t skip);

}  // namespace console

#endif  // LANLINK_CONSOLE_WAITER_H
