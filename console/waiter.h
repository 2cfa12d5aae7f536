// The console's one wait: for the keyboard, the receive sockets and the
// output together, so that the peer keeps answering while the operator
// types and whatever the terminal does with its output.
#ifndef LANLINK_CONSOLE_WAITER_H
#define LANLINK_CONSOLE_WAITER_H

#include <string>

#include "line_reader.h"
#include "output.h"

class UDP_Server_Service;

namespace console {

enum class Woken {
    kInput,          // standard input has something to read (or has ended)
    kPeerQuit,       // the other peer sent "quit"
    kOutputFailed,   // standard output could not be written
    kTerminalMoved,  // the program left or re-entered the terminal's foreground, or resumed
    kWaitFailed,     // the wait itself failed: wait_error() says why
    kSignalled,      // an ending signal came: terminal::ending_signal() says which
};

class Waiter {
  public:
    // Waits on standard input when `input` is set, and on the service's
    // sockets when `service` is not null. `terminal` says that standard
    // input is a terminal, whose foreground matters.
    Waiter(Output& output, UDP_Server_Service* service, bool input, bool terminal);

    // Waits, the terminal as it is, until standard input has something to
    // read, the other peer sends "quit", output fails or the program's
    // place on the terminal changes; every vector that arrives meanwhile is
    // received and handled at once, and output is written as the
    // descriptors take it. Standard input is only waited on while the
    // program is in the terminal's foreground: in the background it serves
    // the socket alone. No time limit, except what the service has due.
    Woken wait();
    // wait() with canonical mode off, so that any key ends it; `waiting` is
    // then the count of bytes there (a line not yet ended included).
    Woken wait_idle(int& waiting);
    // wait() with getch()'s settings, for the key after a detected one:
    // what was waiting is discarded first, and the key (or -1) is read
    // unechoed; what came with it is discarded too.
    Woken wait_key(int& key);
    // Why the last wait failed (an errno value), with the call's name.
    int wait_error() const { return wait_error_; }
    const char* failed_call() const { return "ppoll"; }

    bool reads_input() const { return input_; }
    // Standard input may be read now: it is no terminal, or the program is
    // in the terminal's foreground.
    // The terminal is asked only once after each signal that may have
    // moved the program (and now and then in the background).
    bool may_read() const;
    // The terminal has gone: from now on only the socket is waited on.
    void stop_reading_input() { input_ = false; }

    Output& output() { return output_; }

  private:
    Output& output_;
    UDP_Server_Service* service_;
    bool input_;
    bool terminal_;
    int wait_error_ = 0;
    // The foreground as last asked, and the count of resumes then.
    mutable bool front_ = false;
    mutable bool front_known_ = false;
    mutable unsigned front_resumes_ = 0;
};

enum class LineRead { kLine, kEnd, kPeerQuit, kOutputFailed, kWaitFailed, kSignalled };

// The next line from `reader`, reading standard input as needed and serving
// the socket while it waits; the line end is not kept. kEnd at end of input
// with nothing left.
LineRead read_line(Waiter& waiter, Line_Reader& reader, std::string& line);

}  // namespace console

#endif  // LANLINK_CONSOLE_WAITER_H
