// Everything the program writes to standard output and standard error goes
// through here. What standard output takes at once, with nothing waiting
// before it, the loop writes itself; the rest waits in one bounded queue,
// written by a thread of its own, so that a terminal that stops reading
// (Ctrl-S, a pipe nobody reads, a line being typed) never holds up the
// network.
//
// Vector printouts are offered whole: one that does not fit in the bound is
// not kept but counted, and a line with the count takes its place as soon as
// output flows again. Other text (the console's own, the start-up and
// shut-down lines, errors) is always kept.
#ifndef LANLINK_CONSOLE_OUTPUT_H
#define LANLINK_CONSOLE_OUTPUT_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace console {

// Replaces stdout and stderr with unbuffered streams that feed the queue,
// and starts the writer. Whatever is queued is written (within a bound) at
// exit, also when the process ends through exit() on a fatal error.
void start_output();

// A vector's printout: false when it was counted as not shown instead.
bool offer_printout(std::string_view text);
// A notice such as the drop line: false when there is no room even for it
// (the caller keeps what it has to say and tries again later).
bool offer_notice(std::string_view text);

// Text that must be shown whatever the bound (the reason the program ends,
// the last counts): always kept.
void offer_kept(std::string_view text);

// While a line is typed, printouts are held: never written inside the line.
void hold();
// Ends holding: `prefix` and then the held printouts (and the count of those
// that did not fit) are written.
void release(std::string_view prefix = {});

// Waits until everything queued has been written, or until nothing could be
// written for a while (a terminal that never reads again must not hang the
// program). The held printouts are released first.
void finish_output();
// finish_output(), then the writer ends and stdout and stderr are the
// process's own again: called at exit.
void stop_output();

// While the loop serves what one wake brought, the printouts it would write
// at once are gathered, to be written with one call at the end; with `all`,
// everything for standard output is, whether or not it could be written at
// once (a line being edited must be put aside around it).
void gather(bool all);
bool has_gathered();
// Writes (or queues) `before`, what was gathered and `after`; nothing when
// nothing was gathered.
void write_gathered(std::string_view before = {}, std::string_view after = {});

// Looks again at whether the program is in the terminal's foreground, where
// it may write to the terminal itself; `input_in_front` is what the loop
// found for standard input, the same answer when both are one terminal.
void look_at_terminal(std::optional<bool> input_in_front = std::nullopt);

// A descriptor that becomes readable when the writer has something to tell
// the loop (a write error); wake_up() makes it readable from a signal handler.
int wake_descriptor();
void clear_wake();
void wake_up();

// Standard output could not be written (sticky once it happens).
bool output_failed();
int output_errno();

// How texts went out since start: written whole by the loop itself, or
// (in part or whole) handed to the writer.
struct OutputCounts {
    std::uint64_t written_at_once = 0;
    std::uint64_t queued = 0;
};
OutputCounts output_counts();

// Vector printouts counted as not shown since start.
std::uint64_t printouts_not_shown();

}  // namespace console

#endif  // LANLINK_CONSOLE_OUTPUT_H
