#include "line_editor.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

// readline's headers need FILE declared first.
#include <readline/history.h>
#include <readline/readline.h>

#include "settings.h"
#include "words.h"

namespace console {

namespace {

constexpr const char* kPrompt = "$ ";
constexpr const char* kArgumentPrompt = " > ";
// Keys taken in one wake at most, so that a long paste still lets the
// socket be served between its pieces.
constexpr int kMostKeys = 4096;
// Lines kept for the history of this run (nothing is read or written).
constexpr int kMostHistory = 1000;

// readline calls back without a pointer of ours: the one editor is here.
Line_Editor* g_editor = nullptr;
// While hide() and show() ask readline for its bytes, they land here instead
// of on the terminal.
std::string* g_captured = nullptr;
// Set by the SIGWINCH handler.
volatile std::sig_atomic_t g_resized = 0;

// readline's output: into the program's output as the line's own bytes, or
// into a capture.
ssize_t editor_write(void* cookie, const char* bytes, std::size_t size) {
    if (g_captured != nullptr) {
        g_captured->append(bytes, size);
    } else {
        static_cast<Output*>(cookie)->put(1, std::string_view(bytes, size), Kind::kLine);
    }
    return static_cast<ssize_t>(size);
}

FILE* g_editor_out = nullptr;

// A key from standard input, which the loop's wait has found readable:
// read as it is, without readline's own signal mask dance around it.
int read_key(FILE* /*in*/) {
    unsigned char byte = 0;
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, &byte, 1);
        if (got == 1) {
            return byte;
        }
        if (got == 0 || errno != EINTR) {
            return EOF;
        }
    }
}

extern "C" void note_resize(int /*sig*/) {
    g_resized = 1;
}

void follow_resize() {
    if (g_resized != 0) {
        g_resized = 0;
        rl_resize_terminal();
    }
}

template <typename Action>
std::string captured(Action action) {
    std::string bytes;
    g_captured = &bytes;
    action();
    std::fflush(rl_outstream);
    g_captured = nullptr;
    return bytes;
}

}  // namespace

Line_Editor::Line_Editor(Commands& commands, Output& output)
    : commands_(commands), output_(output) {
    g_editor = this;
    cookie_io_functions_t functions{};
    functions.write = editor_write;
    g_editor_out = fopencookie(&output_, "w", functions);
    std::setvbuf(g_editor_out, nullptr, _IONBF, 0);
    // The program's own handlers put the terminal back on signals; readline
    // is told of size changes by the loop.
    rl_catch_signals = 0;
    rl_catch_sigwinch = 0;
    struct sigaction resize {};
    resize.sa_handler = note_resize;
    sigemptyset(&resize.sa_mask);
    resize.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &resize, nullptr);
    rl_readline_name = "lanlink";
    rl_instream = stdin;
    rl_outstream = g_editor_out;
    rl_getc_function = read_key;
    using_history();
    stifle_history(kMostHistory);
    // ~/.inputrc is read here, as every readline program reads it. A paste
    // of several lines runs line by line: bracketed paste would take it as
    // one line.
    rl_initialize();
    rl_variable_bind("enable-bracketed-paste", "off");
    termios found{};
    const bool terminal = tcgetattr(STDIN_FILENO, &found) == 0;
    rl_callback_handler_install(kPrompt, line_done);
    installed_ = true;
    termios changed{};
    if (terminal && tcgetattr(STDIN_FILENO, &changed) == 0) {
        terminal::adopt(found, changed);
    }
    output_.set_overlay(this);
}

Line_Editor::~Line_Editor() {
    output_.set_overlay(nullptr);
    if (installed_) {
        rl_callback_handler_remove();
    }
    terminal::forget();
    // rl_clear_history(), not clear_history(): the lines' undo lists too.
    rl_clear_history();
    rl_outstream = stdout;
    rl_getc_function = rl_getc;
    std::fclose(g_editor_out);
    g_editor_out = nullptr;
    g_editor = nullptr;
}

void Line_Editor::line_done(char* line) {
    Line_Editor& editor = *g_editor;
    if (line == nullptr) {
        // End of input (Ctrl-D on an empty line): as "exit".
        editor.output_.put(1, "\n", Kind::kLine);
        editor.outcome_ = Outcome::kOperatorEnded;
    } else {
        if (*line != '\0') {
            add_history(line);
        }
        editor.outcome_ = editor.commands_.take(Words(line));
        std::free(line);
    }
    if (editor.outcome_ != Outcome::kGoOn) {
        // No prompt after the last command.
        rl_callback_handler_remove();
        editor.installed_ = false;
        terminal::forget();
        return;
    }
    rl_set_prompt(editor.commands_.awaiting() ? kArgumentPrompt : kPrompt);
}

Outcome Line_Editor::read_keys() {
    for (int keys = 0; keys < kMostKeys && installed_ && outcome_ == Outcome::kGoOn; ++keys) {
        // A resize may come while keys are being taken: each key is drawn
        // for the window as it is.
        follow_resize();
        rl_callback_read_char();
        int waiting = 0;
        if (ioctl(STDIN_FILENO, FIONREAD, &waiting) != 0 || waiting <= 0) {
            break;
        }
    }
    return outcome_;
}

bool Line_Editor::shown() const {
    return installed_ && !hidden_;
}

std::string Line_Editor::hide() {
    if (!shown()) {
        return {};
    }
    hidden_ = true;
    return captured([] { rl_clear_visible_line(); });
}

std::string Line_Editor::show() {
    if (!installed_ || !hidden_) {
        return {};
    }
    hidden_ = false;
    follow_resize();
    return captured([] {
        rl_on_new_line();
        rl_redisplay();
    });
}

void Line_Editor::redraw() {
    if (!installed_) {
        return;
    }
    follow_resize();
    rl_on_new_line();
    rl_redisplay();
    hidden_ = false;
}

void Line_Editor::abandon() {
    if (!installed_) {
        return;
    }
    output_.put(1, hide(), Kind::kLine);
    rl_callback_handler_remove();
    installed_ = false;
    terminal::forget();
    terminal::discard_input();
}

}  // namespace console
