// The open prompt on a terminal: GNU readline's callback interface, driven
// by the loop's one wait, so that the socket is served while a line is
// edited. Each line typed is a command.
#ifndef LANLINK_CONSOLE_LINE_EDITOR_H
#define LANLINK_CONSOLE_LINE_EDITOR_H

#include <string>

#include "commands.h"
#include "output.h"

namespace console {

class Line_Editor final : public Overlay {
  public:
    // Shows the "$ " prompt; the terminal gets readline's settings until the
    // editor is destroyed, and printouts written to `output` go above the
    // line. One at a time.
    Line_Editor(Commands& commands, Output& output);
    ~Line_Editor() override;
    Line_Editor(const Line_Editor&) = delete;
    Line_Editor& operator=(const Line_Editor&) = delete;
    Line_Editor(Line_Editor&&) = delete;
    Line_Editor& operator=(Line_Editor&&) = delete;

    // Takes the keys waiting on standard input, running each line as it is
    // completed: kGoOn until a command (or end of input) ends the loop.
    Outcome read_keys();

    // Whether the prompt and the line being edited are on the screen.
    bool shown() const override;
    // The bytes that take the prompt and the line off the screen, and that
    // put them back below what was written in between.
    std::string hide() override;
    std::string show() override;
    // Puts the prompt and the line back where the cursor is (after fg, or
    // when the terminal's size changed).
    void redraw();
    // The program ends with a line under way: it is dropped, not left for
    // the shell.
    void abandon();

  private:
    static void line_done(char* line);

    Commands& commands_;
    Output& output_;
    Outcome outcome_ = Outcome::kGoOn;
    bool installed_ = false;
    bool hidden_ = false;
};

}  // namespace console

#endif  // LANLINK_CONSOLE_LINE_EDITOR_H
