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

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "bench.h"
#include "socket_support.h"

namespace bench {
namespace {

constexpr const char* kResponderOption = "--responder";

// What lanlink prints for an update, byte for byte.
int printout(char* text, std::size_t size, const char (&slots)[3][512], const sockaddr_in& from) {
    return std::snprintf(
        text, size,
        "Packet array incoming!\n\t  IP: %s\n\tPORT: %s\n\t MSG: %s\n"
        "Recieved update request from client... redirecting and sending information...\n"
        "ip: %d\nhost: %d\nSetting packet vector destination info...\n"
        "Packet[0]: setting host->setting port->setting length->9 setting channel...\n"
        "Packet[1]: setting host->setting port->setting length->9 setting channel...\n"
        "Packet[2]: setting host->setting port->setting length->9 setting channel...\n"
        "Sending...\nUpdate request complete.\n",
        slots[0], slots[1], slots[2], static_cast<int>(from.sin_addr.s_addr), from.sin_port);
}

}  // namespace

const char* wait_name(Wait wait) {
    switch (wait) {
        case Wait::kBlocking:
            return "blocking";
        case Wait::kPolling:
            return "polling";
        case Wait::kFloor:
            return "floor";
    }
    return "?";
}

// The floor the peer's answers are measured against: the same three 9-byte
// answer datagrams, 1 ms after the update, with a 1 us timer slack.
int c_responder(std::uint16_t port, Wait wait, bool print) {
    prctl(PR_SET_TIMERSLACK, 1000UL);
    // The second descriptor a program with two inputs waits on beside its
    // socket (here one that never has anything).
    int idle[2] = {-1, -1};
    if (pipe(idle) != 0) {
        return 1;
    }
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
    char answer[3][9];
    sockaddr_in from{};
    char text[2048];
    // For the floor's one receive and one send.
    iovec in_iov[3];
    mmsghdr in_msgs[3] = {};
    iovec out_iov[3];
    mmsghdr out_msgs[3] = {};
    for (int i = 0; i < 3; ++i) {
        in_iov[i] = {slots[i], sizeof slots[i] - 1};
        in_msgs[i].msg_hdr.msg_iov = &in_iov[i];
        in_msgs[i].msg_hdr.msg_iovlen = 1;
        out_iov[i] = {answer[i], sizeof answer[i]};
        out_msgs[i].msg_hdr.msg_name = &to;
        out_msgs[i].msg_hdr.msg_namelen = sizeof to;
        out_msgs[i].msg_hdr.msg_iov = &out_iov[i];
        out_msgs[i].msg_hdr.msg_iovlen = 1;
    }
    in_msgs[0].msg_hdr.msg_name = &from;
    in_msgs[0].msg_hdr.msg_namelen = sizeof from;
    const timespec pause{0, 1000000};
    for (;;) {
        std::memset(slots, 0, sizeof slots);
        if (wait == Wait::kFloor) {
            // One call for the three, which the sender queued together;
            // another only when they came apart.
            int got = 0;
            in_msgs[0].msg_hdr.msg_namelen = sizeof from;
            while (got < 3) {
                const int n = recvmmsg(in, in_msgs + got, static_cast<unsigned>(3 - got),
                                       MSG_WAITFORONE, nullptr);
                if (n < 0) {
                    return 1;
                }
                got += n;
            }
            pollfd fds[2] = {{idle[0], POLLIN, 0}, {in, 0, 0}};
            ppoll(fds, 2, &pause, nullptr);
        } else {
            for (auto& slot : slots) {
                if (wait == Wait::kPolling) {
                    pollfd fds[2] = {{in, POLLIN, 0}, {idle[0], POLLIN, 0}};
                    ppoll(fds, 2, nullptr, nullptr);
                }
                socklen_t len = sizeof from;
                const ssize_t n = print ? recvfrom(in, slot, sizeof slot - 1, 0,
                                                   reinterpret_cast<sockaddr*>(&from), &len)
                                        : recv(in, slot, sizeof slot - 1, 0);
                if (n < 0) {
                    return 1;
                }
            }
            if (wait == Wait::kPolling) {
                pollfd fds[2] = {{idle[0], POLLIN, 0}, {in, 0, 0}};
                ppoll(fds, 2, &pause, nullptr);
            } else {
                clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
            }
        }
        std::memset(answer, 0, sizeof answer);
        std::memcpy(answer[0], slots[0], 9);
        std::memcpy(answer[1], slots[1], 9);
        std::memcpy(answer[2], "up_resp", 7);
        if (wait == Wait::kFloor) {
            sendmmsg(out, out_msgs, 3, 0);
        } else {
            for (auto& slot : answer) {
                sendto(out, slot, 9, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            }
        }
        if (print) {
            const int n = printout(text, sizeof text, slots, from);
            if (write(STDOUT_FILENO, text, static_cast<std::size_t>(n)) < 0) {
                return 1;
            }
        }
    }
}

int c_responder(std::uint16_t port, bool print, bool polling) {
    return c_responder(port, polling ? Wait::kPolling : Wait::kBlocking, print);
}

std::vector<std::string> responder_command(std::uint16_t port, Wait wait, bool print) {
    char self[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::vector<std::string> argv = {
        n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string("/proc/self/exe"),
        kResponderOption, wait_name(wait), std::to_string(port)};
    if (print) {
        argv.emplace_back("--print");
    }
    return argv;
}

bool is_responder_command(int argc, char** argv) {
    return argc >= 2 && std::strcmp(argv[1], kResponderOption) == 0;
}

int run_responder_command(int argc, char** argv) {
    if (argc < 4) {
        return 2;
    }
    const std::string kind = argv[2];
    const Wait wait = kind == "polling" ? Wait::kPolling
                      : kind == "floor" ? Wait::kFloor
                                        : Wait::kBlocking;
    const bool print = argc >= 5 && std::strcmp(argv[4], "--print") == 0;
    return c_responder(static_cast<std::uint16_t>(std::atoi(argv[3])), wait, print);
}

int socket_sender(std::uint16_t to_port, std::uint16_t listen_port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(to_port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string address = std::string("127.0.0.1") + '\0';
    const std::string port = std::to_string(listen_port) + '\0';
    std::printf("ready\n");
    std::fflush(stdout);
    char line[600];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        const std::size_t length = std::strcspn(line, "\n");
        line[length] = '\0';
        if (std::strncmp(line, "send ", 5) != 0) {
            continue;
        }
        const char* word = line + 5;
        iovec parts[3] = {{const_cast<char*>(address.data()), address.size()},
                          {const_cast<char*>(port.data()), port.size()},
                          {const_cast<char*>(word), std::strlen(word) + 1}};
        mmsghdr messages[3] = {};
        for (int i = 0; i < 3; ++i) {
            messages[i].msg_hdr.msg_name = &to;
            messages[i].msg_hdr.msg_namelen = sizeof to;
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        if (sendmmsg(fd, messages, 3, 0) != 3) {
            return 1;
        }
        std::printf("Sent \"%s\" to 127.0.0.1 on port %u\n", word, static_cast<unsigned>(to_port));
    }
    std::fflush(stdout);
    return 0;
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
