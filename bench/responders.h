// The reference responders lanlink is measured beside, each run in a child
// of the benchmark: a minimal C responder to updates, and a bare SDL_net
// receive loop. Neither returns but on an error.
#ifndef LANLINK_BENCH_RESPONDERS_H
#define LANLINK_BENCH_RESPONDERS_H

#include <cstdint>

namespace bench {

// Answers updates on 127.0.0.1 `port` as lanlink does, to kAnswerPort; with
// `print`, prints what lanlink prints for them; with `polling`, waits in
// ppoll() on two descriptors as a program with two inputs must.
int c_responder(std::uint16_t port, bool print, bool polling = false);

// Receives vectors on `port` with SDL_net, and does nothing with them.
int bare_receiver(std::uint16_t port);

}  // namespace bench

#endif  // LANLINK_BENCH_RESPONDERS_H
