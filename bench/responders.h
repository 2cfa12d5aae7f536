// The reference responders lanlink is measured beside: minimal C answers to
// updates, each run as a program of its own (the benchmark started again
// with --responder), and a bare SDL_net receive loop. None returns but on
// an error.
#ifndef LANLINK_BENCH_RESPONDERS_H
#define LANLINK_BENCH_RESPONDERS_H

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// How a responder waits for an update and through the 1 ms pause.
enum class Wait {
    // Three blocking recv(), a 1 ms clock_nanosleep with a 1 us timer
    // slack, three sendto(): the plainest program that answers.
    kBlocking,
    // As a program with two inputs must: ppoll() on its socket and a second
    // descriptor before each receive, the pause as ppoll()'s 1 ms limit on
    // two descriptors, three sendto().
    kPolling,
    // The fewest system calls an answer can take: one recvmmsg() for the
    // three datagrams, one ppoll() with the 1 ms limit, one sendmmsg().
    kFloor,
};

const char* wait_name(Wait wait);

// Answers updates on 127.0.0.1 `port` to kAnswerPort as lanlink does; with
// `print`, then writes what lanlink prints for an update to standard
// output, in one write.
int c_responder(std::uint16_t port, Wait wait, bool print);

// The same, as the benchmark's callers before the kinds were named.
int c_responder(std::uint16_t port, bool print, bool polling = false);

// The command line that runs c_responder() as a program of its own.
std::vector<std::string> responder_command(std::uint16_t port, Wait wait, bool print);

// Runs the responder a command line from responder_command() asks for, when
// `argv` is one: its exit status. Nothing otherwise.
bool is_responder_command(int argc, char** argv);
int run_responder_command(int argc, char** argv);

// Receives vectors on `port` with SDL_net, and does nothing with them.
int bare_receiver(std::uint16_t port);

// The socket's own rate for piped sends: reads "send WORD" lines from
// standard input and, for each, sends the three datagrams lanlink sends
// (this machine's address, `listen_port`, the word) to 127.0.0.1 `to_port`
// in one sendmmsg(), and writes a "Sent" line through stdio. Prints
// "ready" first; ends at the end of its input.
int socket_sender(std::uint16_t to_port, std::uint16_t listen_port);

}  // namespace bench

#endif  // LANLINK_BENCH_RESPONDERS_H
