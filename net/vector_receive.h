// Receiving the datagrams of one packet vector.
#ifndef LANLINK_NET_VECTOR_RECEIVE_H
#define LANLINK_NET_VECTOR_RECEIVE_H

#include <SDL_net.h>

#include <chrono>

namespace wire {

// Receives into the slots of `packets` from `received` on, waiting on `set`
// (which holds `sock`) until every slot is filled or `deadline` passes.
// Returns how many slots are filled; an error ends the wait.
int receive_rest(UDPsocket sock, SDLNet_SocketSet set, UDPpacket** packets, int received,
                 std::chrono::steady_clock::time_point deadline);

}  // namespace wire

#endif  // LANLINK_NET_VECTOR_RECEIVE_H
