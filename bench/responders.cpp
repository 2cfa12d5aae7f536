// The reference responders: what lanlink's answers and receives cost is
// measured against these, run beside it on the same machine.
#include "responders.h"

#include <SDL_net.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "bench.h"
#include "socket_support.h"

namespace bench {

// A minimal C responder, the floor the peer's answers are measured against:
// blocking receives, a 1 ms pause slept to an absolute deadline with a 1 us
// timer slack, and the same three 9-byte answer datagrams. With `print`, it
// then writes the same printout lanlink writes for an update.
int c_responder(std::uint16_t port, bool print, bool polling) {
    prctl(PR_SET_TIMERSLACK, 1000UL);
    // With `polling`, it waits as a program with two inputs must: in ppoll()
    // on its socket and a second descriptor, the pause as ppoll()'s limit.
    int idle[2] = {-1, -1};
    if (polling && pipe(idle) != 0) {
        return 1;
    }
    const auto wait_for = [&](int fd, const timespec* limit) {
        if (!polling) {
            return;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {idle[0], POLLIN, 0}};
        ppoll(fds, 2, limit, nullptr);
    };
    const int in = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (bind(in, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        return 1;
    }
    const int out = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = addr;
    to.sin_port = htons(kAnswerPort);
    char slots[3][512];
    sockaddr_in from{};
    for (;;) {
        for (auto& slot : slots) {
            std::memset(slot, 0, sizeof slot);
            socklen_t len = sizeof from;
            wait_for(in, nullptr);
            if (recvfrom(in, slot, sizeof slot - 1, 0, reinterpret_cast<sockaddr*>(&from), &len) <
                0) {
                return 1;
            }
        }
        if (std::strcmp(slots[2], "update") != 0) {
            continue;
        }
        timespec until{};
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_nsec += 1000000;
        if (until.tv_nsec >= 1000000000) {
            until.tv_nsec -= 1000000000;
            ++until.tv_sec;
        }
        if (polling) {
            const timespec pause{0, 1000000};
            wait_for(idle[0], &pause);
        } else {
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        }
        char answer[3][9] = {};
        std::memcpy(answer[0], slots[0], 9);
        std::memcpy(answer[1], slots[1], 9);
        std::memcpy(answer[2], "up_resp", 8);
        for (auto& slot : answer) {
            sendto(out, slot, 9, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        }
        if (print) {
            char text[1024];
            const int n = std::snprintf(
                text, sizeof text,
                "Packet array incoming!\n\t  IP: %s\n\tPORT: %s\n\t MSG: %s\n"
                "Recieved update request from client... redirecting and sending information...\n"
                "ip: %d\nhost: %d\nSetting packet vector destination info...\n"
                "Packet[0]: setting host->setting port->setting length->9 setting channel...\n"
                "Packet[1]: setting host->setting port->setting length->9 setting channel...\n"
                "Packet[2]: setting host->setting port->setting length->9 setting channel...\n"
                "Sending...\nUpdate request complete.\n",
                slots[0], slots[1], slots[2], static_cast<int>(from.sin_addr.s_addr),
                from.sin_port);
            (void)!write(STDOUT_FILENO, text, static_cast<std::size_t>(n));
        }
    }
}

// The bare SDL_net receive loop the peer is measured against.
int bare_receiver(std::uint16_t port) {
    SDLNet_Init();
    UDPsocket sock = SDLNet_UDP_Open(port);
    (void)net::enlarge_receive_buffer(net::udp_descriptor(sock), 4 * 1024 * 1024);
    SDLNet_SocketSet set = SDLNet_AllocSocketSet(1);
    SDLNet_UDP_AddSocket(set, sock);
    UDPpacket** packets = SDLNet_AllocPacketV(3, 512);
    for (;;) {
        if (SDLNet_CheckSockets(set, 1000) > 0) {
            SDLNet_UDP_RecvV(sock, packets);
        }
    }
}

}  // namespace bench
