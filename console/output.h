// Everything the program writes to standard output and standard error goes
// through one Output, created by lanlink_main, and leaves it from one place:
// flush(), called by the loop's one wait. Texts wait in one bounded queue,
// in order, and are written without ever blocking (a descriptor of the
// program's own, non-blocking, where standard output is a pipe or a
// terminal), so that a terminal that stops reading (Ctrl-S, a pipe nobody
// reads, a line being typed) never holds up the network. Everything here
// runs on the loop's thread.
//
// A vector's printout that does not fit in the bound is not kept but
// counted, and a line with the count takes its place as soon as output
// flows again. Other text (the console's own, the start-up and shut-down
// lines, errors) is always kept.
#ifndef LANLINK_CONSOLE_OUTPUT_H
#define LANLINK_CONSOLE_OUTPUT_H

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace console {

// What a text is to the bound.
// Printouts, notices and announcements come from the network, and wait
// while a line is typed at the classic prompt; the rest is the console's.
enum class Kind {
    kPrintout,      // a vector's printout: counted as not shown when it does not fit
    kNotice,        // a count line: a little room beyond the bound, refused past it
    kAnnouncement,  // always kept: the reason the program ends, the last counts
    kConsole,       // always kept, never held: the console's own text, errors
    kLine,          // the line editor's own bytes: kept, and never put above the line
};

// Where texts go: an Output, or in tests a plain writer.
class Text_Out {
  public:
    virtual ~Text_Out() = default;
    // `text` for descriptor `fd` (1 or 2): false when it was not kept (a
    // printout counted as not shown, or a notice with no room).
    virtual bool put(int fd, std::string_view text, Kind kind) = 0;
    // Writes everything kept before the process ends (within a bound of time).
    virtual void finish() = 0;
    // Vector printouts counted as not shown since start.
    virtual std::uint64_t not_shown() const = 0;
    // Whatever is put for `fd` goes nowhere (it is /dev/null): a text need
    // not even be made.
    virtual bool discards(int /*fd*/) const { return false; }
};

// A line being edited on the terminal, which printouts go above: the
// bytes that take it off the screen and that put it back below them.
class Overlay {
  public:
    virtual ~Overlay() = default;
    virtual bool shown() const = 0;
    virtual std::string hide() = 0;
    virtual std::string show() = 0;
};

// How texts went out since start: written whole by the first flush after
// them, or left (in part or whole) for a later one.
struct OutputCounts {
    std::uint64_t written_at_once = 0;
    std::uint64_t queued = 0;
};

class Output final : public Text_Out {
  public:
    using Clock = std::chrono::steady_clock;

    // Looks at standard output and standard error as they are now.
    Output();
    // Whatever is kept is written first (within the bound of time).
    ~Output() override;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    Output(Output&&) = delete;
    Output& operator=(Output&&) = delete;

    bool put(int fd, std::string_view text, Kind kind) override;
    // Writes what the descriptors take now, without waiting.
    void flush();
    void finish() override;
    std::uint64_t not_shown() const override { return not_shown_; }
    bool discards(int fd) const override { return targets_.at(static_cast<std::size_t>(fd)).null; }

    // For the loop's wait: the descriptor to wait on until it takes more
    // (-1 when nothing waits to be written now), and when to look at the
    // terminal again while the output is held for the foreground.
    int blocked_descriptor() const;
    std::optional<Clock::time_point> next_look() const;

    // While a line is typed at the classic prompt, printouts are held:
    // never written inside the line. release() ends holding: `prefix`, then
    // the held printouts (and the count of those that did not fit) go out.
    void hold();
    void release(std::string_view prefix = {});
    // The line being edited, which printouts put from now on go above;
    // null when none.
    void set_overlay(Overlay* overlay);
    // The program ends with the line being edited: it is taken off the
    // screen, ahead of the printouts still to be written, and not shown again.
    void close_overlay();

    // The line that takes the place of `count` printouts not shown, because
    // they came while a line was typed or because nobody read: text unless
    // told otherwise.
    using Untold_Line = std::string (*)(std::uint64_t count, bool while_typing);
    void set_untold_line(Untold_Line line) { untold_line_ = line; }

    // Looks again at whether the program is in the terminal's foreground;
    // `input_in_front` is what the loop found for standard input, the same
    // answer when both are one terminal.
    void look_at_terminal(std::optional<bool> input_in_front = std::nullopt);

    // Standard output could not be written (sticky once it happens), and why.
    bool failed() const { return failed_.at(1); }
    int error() const { return error_; }
    OutputCounts counts() const { return counts_; }
    // What waits to be written or is held, in bytes.
    std::size_t pending() const { return bytes_; }

  private:
    struct Piece {
        int fd;
        bool above;  // from the network: goes above a line being edited
        std::string bytes;
        std::size_t done = 0;         // bytes of it written
        std::uint64_t puts = 0;       // texts in it, for the counts
        bool looked_at = false;       // a flush has had it in its queue
        std::uint64_t printouts = 0;  // vector printouts: a piece holds those alone
    };
    struct Target {
        int fd = -1;          // what is written to: the program's own, or the found one
        bool own = false;     // opened here, closed at the end
        bool socket = false;  // sent to without waiting
        bool terminal = false;
        bool checked = false;  // no own descriptor: looked at with poll() first
        bool null = false;     // /dev/null: nothing put for it is kept or written
    };

    void append(std::deque<Piece>& to, int fd, bool above, std::string_view text,
                bool printout = false);
    // At the end, with the output held for the foreground: the printouts
    // are counted and told on standard error instead, and the rest written
    // as the terminal allows a background program that insists.
    void end_in_background();
    // At the end, with nobody reading: the printouts still waiting are
    // counted, and told on standard error where it takes them.
    void tell_printouts_left();
    // The count line, in its place, once output flows again.
    void tell_untold(std::deque<Piece>& to);
    // Writes the front piece as far as its descriptor takes it: false when
    // it took less (or failed).
    bool write_front();
    // Puts the printouts at the front above the line being edited.
    void wrap_for_overlay();
    // A terminal set to stop background writers, with the program in the background.
    bool held_for_foreground(int fd) const;
    void count_looked_at();

    std::array<Target, 3> targets_{};
    std::deque<Piece> ready_;
    std::deque<Piece> held_;
    std::size_t bytes_ = 0;
    bool holding_ = false;
    bool held_fg_ = false;  // the last flush stopped for the foreground
    bool in_front_ = true;  // as last looked at
    bool output_is_input_ = false;
    Overlay* overlay_ = nullptr;
    Untold_Line untold_line_ = nullptr;
    std::uint64_t untold_ = 0;  // counted as not shown, no line has said so yet
    bool untold_while_typing_ = false;
    std::uint64_t not_shown_ = 0;
    OutputCounts counts_;
    std::array<bool, 3> failed_{};
    int error_ = 0;
    bool given_up_ = false;   // the reader stopped reading at the end
    bool insisting_ = false;  // writes from the background, SIGTTOU held off
};

}  // namespace console

#endif  // LANLINK_CONSOLE_OUTPUT_H
