#include "loop.h"

#include <string>

#include "line_editor.h"
#include "settings.h"
#include "words.h"

namespace console {

namespace {

constexpr int kEnter = 10;

Outcome outcome_of(Woken woken) {
    switch (woken) {
        case Woken::kInput:
        case Woken::kTerminalMoved:
            return Outcome::kGoOn;
        case Woken::kPeerQuit:
            return Outcome::kPeerQuit;
        case Woken::kWaitFailed:
            return Outcome::kWaitFailed;
        case Woken::kSignalled:
            return Outcome::kSignalled;
        case Woken::kOutputFailed:
            break;
    }
    return Outcome::kOutputFailed;
}

Outcome outcome_of(LineRead read) {
    switch (read) {
        case LineRead::kLine:
            return Outcome::kGoOn;
        case LineRead::kEnd:  // end of input: nothing more can be typed
            return Outcome::kOperatorEnded;
        case LineRead::kPeerQuit:
            return Outcome::kPeerQuit;
        case LineRead::kWaitFailed:
            return Outcome::kWaitFailed;
        case LineRead::kSignalled:
            return Outcome::kSignalled;
        case LineRead::kOutputFailed:
            break;
    }
    return Outcome::kOutputFailed;
}

// Shows `prompt` and reads lines until one holds a word, as a word read
// skips empty lines. Printouts are held while the line is typed and written
// once it has been read, ahead of what the command prints.
LineRead prompt_line(Loop& loop, Prompt prompt, std::string& line) {
    loop.renderer.prompt(prompt);
    for (;;) {
        loop.output.hold();
        // What comes after the line in the same read is dropped: a command
        // at this prompt is one line.
        Line_Reader reader;
        const LineRead read = read_line(loop.waiter, reader, line);
        if (read == LineRead::kPeerQuit || read == LineRead::kSignalled) {
            // The other peer ended the program while a line was being typed:
            // the unfinished line is dropped, not left for the shell, and the
            // printouts start on a line of their own.
            terminal::discard_input();
            loop.output.release("\n");
            return read;
        }
        loop.output.release();
        if (read != LineRead::kLine || !Words(line).empty()) {
            return read;
        }
    }
}

// Reads and runs one command line at the classic prompt; an argument that
// is not on the command's line is asked for with " > ".
Outcome classic_command(Loop& loop) {
    Commands commands(loop.service, loop.renderer, loop.output, true);
    std::string line;
    LineRead read = prompt_line(loop, Prompt::kCommand, line);
    if (read != LineRead::kLine) {
        return outcome_of(read);
    }
    const Outcome outcome = commands.take(Words(line));
    if (outcome != Outcome::kGoOn || !commands.awaiting()) {
        return outcome;
    }
    read = prompt_line(loop, Prompt::kArgument, line);
    if (read != LineRead::kLine) {
        return outcome_of(read);
    }
    return commands.take(Words(line));
}

}  // namespace

Outcome classic_turn(Loop& loop) {
    Waiter& waiter = loop.waiter;
    if (!waiter.may_read()) {
        // Headless, or in the background: the socket alone, until the
        // program is back in the terminal's foreground.
        return outcome_of(waiter.wait());
    }
    int waiting = 0;
    Woken woken = waiter.wait_idle(waiting);
    if (woken != Woken::kInput) {
        return outcome_of(woken);
    }
    if (waiting <= 0) {
        waiter.stop_reading_input();  // readable, yet nothing to read: the terminal hung up
        return Outcome::kGoOn;
    }
    int key = -1;
    woken = waiter.wait_key(key);
    if (woken != Woken::kInput) {
        return outcome_of(woken);
    }
    if (key < 0) {
        waiter.stop_reading_input();
        return Outcome::kGoOn;
    }
    if (key != kEnter) {
        return Outcome::kGoOn;
    }
    return classic_command(loop);
}

Outcome open_prompt(Loop& loop) {
    Commands commands(loop.service, loop.renderer, loop.output, true);
    Line_Editor editor(commands, loop.output);
    Outcome outcome = Outcome::kGoOn;
    while (outcome == Outcome::kGoOn) {
        const Woken woken = loop.waiter.wait();
        if (woken == Woken::kInput) {
            outcome = editor.read_keys();
        } else if (woken == Woken::kTerminalMoved) {
            if (loop.waiter.may_read()) {
                editor.redraw();  // back in the foreground
            }
        } else {
            if (woken == Woken::kPeerQuit || woken == Woken::kSignalled) {
                editor.abandon();
            }
            outcome = outcome_of(woken);
        }
    }
    return outcome;
}

Outcome commands_from_input(Loop& loop, bool end_ends) {
    Commands commands(loop.service, loop.renderer, loop.output, false);
    std::string line;
    for (;;) {
        const LineRead read = read_line(loop.waiter, loop.input, line);
        if (read == LineRead::kEnd && !end_ends) {
            loop.waiter.stop_reading_input();
            return Outcome::kGoOn;
        }
        if (read != LineRead::kLine) {
            return outcome_of(read);
        }
        const Outcome outcome = commands.take(Words(line));
        loop.failed_commands = commands.failures();
        if (outcome != Outcome::kGoOn) {
            return outcome;
        }
    }
}

}  // namespace console
