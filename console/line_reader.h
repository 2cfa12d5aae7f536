// Lines from standard input, read with read() once the wait says there is
// something (no stdio, so that nothing hides in a buffer a wait cannot see).
#ifndef LANLINK_CONSOLE_LINE_READER_H
#define LANLINK_CONSOLE_LINE_READER_H

#include <cstddef>
#include <string>

namespace console {

// In order, one read at a time: what follows a line in the same read is
// kept for the next. A line is kept to 64 KiB; the rest of a longer one is
// dropped.
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

}  // namespace console

#endif  // LANLINK_CONSOLE_LINE_READER_H
