#include "vector_receive.h"

#include <algorithm>
#include <cstdint>

#include "wire_format.h"

namespace wire {

int receive_rest(UDPsocket sock, SDLNet_SocketSet set, UDPpacket** packets, int received,
                 std::chrono::steady_clock::time_point deadline) {
    while (received < kPacketsPerVector) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        // Once the time is up, what is already waiting is still taken: this
        // process may have been held up itself while the datagrams arrived.
        const auto wait = static_cast<Uint32>(std::max<std::int64_t>(left.count(), 0));
        const int ready = SDLNet_CheckSockets(set, wait);
        if (ready < 0) {
            break;
        }
        if (ready == 0) {
            if (left.count() <= 0) {
                break;
            }
            continue;
        }
        // A packet vector ends with a null pointer, so its tail is a vector too.
        const int more = SDLNet_UDP_RecvV(sock, packets + received);
        if (more <= 0) {
            break;
        }
        received += more;
    }
    return received;
}

}  // namespace wire
