#include "udp_server_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string_view>

#include "slot_text.h"
#include "vector_receive.h"

namespace {

// A bigger receive queue lets a peer send many vectors back to back while
// each answer pauses for a millisecond. The kernel clamps the request to
// net.core.rmem_max, so asking for more than the system allows is harmless.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
// How long a vector whose first datagrams have arrived waits for the rest.
constexpr auto kVectorCompletion = std::chrono::milliseconds(5);
constexpr int kMaxDescriptorScan = 1024;
constexpr unsigned long kTimerSlackNanos = 1000;
constexpr auto kPauseFinish = std::chrono::microseconds(80);

[[noreturn]] void fail(const char* format_with_error) {
    std::fflush(stdout);  // the step that failed is shown before its error
    std::fprintf(stderr, format_with_error, SDL_GetError());
    std::exit(1);
}

// SDL_net does not hand out its descriptors, so the receive socket is found
// as the datagram socket bound to its local port.
void enlarge_receive_buffer(UDPsocket sock) {
    const IPaddress* local = SDLNet_UDP_GetPeerAddress(sock, -1);
    if (local == nullptr || local->port == 0) {
        return;
    }
    for (int fd = 0; fd < kMaxDescriptorScan; ++fd) {
        sockaddr_in addr{};
        socklen_t addr_len = sizeof addr;
        int type = 0;
        socklen_t type_len = sizeof type;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &addr_len) != 0 ||
            addr.sin_family != AF_INET || addr.sin_port != local->port ||
            getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_len) != 0 || type != SOCK_DGRAM) {
            continue;
        }
        const int wanted = kReceiveBufferBytes;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
        return;
    }
}

// Every packet starts with an empty text, no length and no address, so that
// nothing uninitialised is ever printed, answered or sent.
void clear_packets(UDPpacket** packets) {
    for (int i = 0; i < wire::kPacketsPerVector; ++i) {
        UDPpacket* p = packets[i];
        std::memset(p->data, 0, static_cast<std::size_t>(p->maxlen));
        p->len = 0;
        p->status = 0;
        p->channel = -1;
        p->address = IPaddress{};
    }
}

// A received slot keeps its text and nothing else: the bytes after the text
// are zeroed, so the buffer always reads as a terminated text (or as the
// whole buffer when the payload filled it without a zero) and an answer taken
// from its start carries zeros after a short text.
void keep_text_only(UDPpacket* p) {
    const auto capacity = static_cast<std::size_t>(p->maxlen);
    std::size_t received = p->len < 0 ? 0 : static_cast<std::size_t>(p->len);
    received = std::min(received, capacity);
    const std::size_t text = wire::slot_text(p->data, received).size();
    std::memset(p->data + text, 0, capacity - text);
}

std::string_view text_of(const UDPpacket* p) {
    return wire::slot_text(p->data, static_cast<std::size_t>(p->maxlen));
}

// The 1 ms pause before an answer, kept close to 1 ms: a plain sleep here
// overshoots by the timer's wake-up latency (tens of microseconds on a
// virtual machine), so the sleep ends a little early and the last stretch is
// waited out on the clock.
void pause_before_answer() {
    using std::chrono::steady_clock;
    const auto deadline = steady_clock::now() + std::chrono::microseconds(wire::kAnswerPauseMicros);
    const auto wake = deadline - kPauseFinish;
    timespec until{};
    const auto since_epoch =
        std::chrono::duration_cast<std::chrono::nanoseconds>(wake.time_since_epoch());
    until.tv_sec = static_cast<time_t>(since_epoch.count() / 1000000000);
    until.tv_nsec = static_cast<long>(since_epoch.count() % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
    while (steady_clock::now() < deadline) {
    }
}

}  // namespace

UDP_Server_Service::UDP_Server_Service(int listen_port, std::string update_host, int update_port)
    : dest_ip(wire::kInitialDestIp),
      dest_port(wire::kInitialDestPort),
      update_host_(std::move(update_host)),
      update_port_(update_port) {
    // The pause before an answer is meant to be 1 ms; the default timer slack
    // (50 us) would add to every answer.
    prctl(PR_SET_TIMERSLACK, kTimerSlackNanos);
    std::memcpy(answer_keyword_.data(), wire::kKeywordAnswer, std::strlen(wire::kKeywordAnswer));

    if (listen_port != 0) {
        std::printf("Accepting connections on port: %d\n", listen_port);
    } else {
        std::puts("\nNo port given...\nDefaulting to port 4555...");
        listen_port = wire::kDefaultListenPort;
    }

    std::printf("Initializing SDL_net (recieve)...");
    if (SDLNet_Init() < 0) {
        fail("FAILED!\nSDLNet_Init: %s\n");
    }
    std::puts("Success!");

    std::printf("Opening port %d for incoming connections...", listen_port);
    recv_sock = SDLNet_UDP_Open(static_cast<Uint16>(listen_port));
    if (recv_sock == nullptr) {
        fail("FAILED!\nSDLNet_UDP_Open(port): %s\n");
    }
    std::puts("Success!");
    enlarge_receive_buffer(recv_sock);
    recv_set_ = SDLNet_AllocSocketSet(1);
    if (recv_set_ == nullptr) {
        throw std::bad_alloc();
    }
    SDLNet_UDP_AddSocket(recv_set_, recv_sock);

    std::printf("Opening random communication socket for sending...");
    send_sock = SDLNet_UDP_Open(0);
    if (send_sock == nullptr) {
        fail("FAILED!\nSDLNet_UDP_Open(0): %s\n");
    }
    std::puts("Success!");

    resolve_dest_address();

    std::printf("Allocating memory for sending packets...");
    out_packets = SDLNet_AllocPacketV(wire::kPacketsPerVector, wire::kPacketSize);
    if (out_packets == nullptr) {
        fail("FAILED!\nSDLNet_AllocPacket(512): %s\n");
    }
    std::puts("Success!");
    clear_packets(out_packets);
    for (int i = 0; i < wire::kPacketsPerVector; ++i) {
        out_buffers_.at(i) = out_packets[i]->data;
    }

    std::printf("Allocating memory for recieving packets...");
    in_packets = SDLNet_AllocPacketV(wire::kPacketsPerVector, wire::kPacketSize);
    if (in_packets == nullptr) {
        fail("FAILED!\nSDLNet_AllocPacket(512): %s\n");
    }
    std::puts("Success!\n");
    clear_packets(in_packets);
    std::fflush(stdout);
}

UDP_Server_Service::~UDP_Server_Service() {
    SDLNet_FreeSocketSet(recv_set_);
    SDLNet_UDP_Close(send_sock);
    SDLNet_UDP_Close(recv_sock);
    std::puts("Shutting down sending client...");
    std::printf("Freeing allocated memory for outbound packets...");
    // After an answer the outbound packets point into the inbound buffers and
    // at answer_keyword_: give them their own buffers back before freeing.
    for (int i = 0; i < wire::kPacketsPerVector; ++i) {
        out_packets[i]->data = out_buffers_.at(i);
    }
    SDLNet_FreePacketV(out_packets);
    std::puts("Done!\nShutting down recieving client...");
    std::printf("Freeing allocated memory for inbound packets...");
    SDLNet_FreePacketV(in_packets);
    std::printf("Done!\nExiting SDLNet and terminating server...");
    SDLNet_Quit();
    std::puts("Done!");
    std::fflush(stdout);
}

void UDP_Server_Service::resolve_dest_address() {
    std::printf("Resolving destination address...");
    if (resolve_destination(nullptr) == 0) {
        std::exit(1);
    }
}

int UDP_Server_Service::resolve_dest_address(const char* ip) {
    dest_ip = ip;
    std::printf("Resolving new destination IP @ %s on port %d...", dest_ip.c_str(), dest_port);
    return resolve_destination(dest_ip.c_str());
}

int UDP_Server_Service::resolve_dest_address(int port) {
    dest_port = port;
    std::printf("Setting destination port %d @ %s...", dest_port, dest_ip.c_str());
    return resolve_destination(dest_ip.c_str());
}

int UDP_Server_Service::resolve_destination(const char* host) {
    if (SDLNet_ResolveHost(&dest_addr, host, static_cast<Uint16>(dest_port)) != 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "FAILED!\nSDLNet_ResolveHost(%s %d): %s\n", dest_ip.c_str(), dest_port,
                     SDL_GetError());
        return 0;
    }
    std::puts("Success!");
    return 1;
}

void UDP_Server_Service::show_dest_info() const {
    std::printf("Sending packets to %s on port %d\n", dest_ip.c_str(), dest_port);
}

bool UDP_Server_Service::wait_for_data(Uint32 timeout_ms) {
    return SDLNet_CheckSockets(recv_set_, timeout_ms) > 0;
}

int UDP_Server_Service::recieve_data() {
    const int received = SDLNet_UDP_RecvV(recv_sock, in_packets);
    if (received <= 0) {
        return 1;  // nothing arrived, or an error: nothing to handle
    }
    // A peer's three datagrams may straddle this receive: wait briefly for the rest.
    const int filled = wire::receive_rest(recv_sock, recv_set_, in_packets, received,
                                          std::chrono::steady_clock::now() + kVectorCompletion);
    for (int i = 0; i < filled; ++i) {
        keep_text_only(in_packets[i]);
    }

    const std::string_view keyword = text_of(in_packets[wire::kSlotKeyword]);
    std::fputs(wire::vector_printout(text_of(in_packets[wire::kSlotAddress]),
                                     text_of(in_packets[wire::kSlotPort]), keyword)
                   .c_str(),
               stdout);

    int result = 1;
    if (keyword == wire::kKeywordQuit) {
        std::puts("\nServer recieved \"quit\" signal from client!");
        result = 0;
    } else if (keyword == wire::kKeywordUpdate) {
        send_answer();
    }
    std::fflush(stdout);
    return result;
}

void UDP_Server_Service::send_answer() {
    std::puts("Recieved update request from client... redirecting and sending information...");
    // The answer echoes the received address and port texts in place.
    out_packets[0]->data = in_packets[wire::kSlotAddress]->data;
    out_packets[1]->data = in_packets[wire::kSlotPort]->data;
    out_packets[2]->data = answer_keyword_.data();

    IPaddress endpoint{};
    if (SDLNet_ResolveHost(&endpoint, wire::kAnswerHost, wire::kAnswerPort) != 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "FAILED!\nSDLNet_ResolveHost(%s %d): %s\n", wire::kAnswerHost,
                     wire::kAnswerPort, SDL_GetError());
        return;
    }
    pause_before_answer();

    const IPaddress& from = in_packets[wire::kSlotAddress]->address;
    std::printf("ip: %d\n", static_cast<int>(from.host));
    std::printf("host: %d\n", from.port);
    std::puts("Setting packet vector destination info...");
    for (int i = 0; i < wire::kPacketsPerVector; ++i) {
        std::printf("Packet[%d]: setting host->", i);
        std::printf("setting port->");
        out_packets[i]->address = endpoint;
        std::printf("setting length->");
        out_packets[i]->len = wire::kAnswerLength;
        std::printf("%d setting channel...\n", out_packets[i]->len);
        out_packets[i]->channel = -1;
    }
    outbound_addressed_ = true;
    std::puts("Sending...");
    // A vector send counts the packets that went out; fewer than all is a failure.
    if (SDLNet_UDP_SendV(send_sock, out_packets, wire::kPacketsPerVector) <
        wire::kPacketsPerVector) {
        std::puts("Error sending packet!");
    }
    std::puts("Update request complete.");
}

void UDP_Server_Service::send_update(char* data, UDPpacket** source) {
    out_packets[0]->data = reinterpret_cast<Uint8*>(data);
    std::puts("SENDING!");
    std::printf("IP: %d\nport: %d\n", static_cast<int>(source[0]->address.host),
                source[0]->address.port);
    out_packets[0]->len = static_cast<int>(std::strlen(data) + 1);
    out_packets[0]->channel = -1;
    if (SDLNet_ResolveHost(&out_packets[0]->address, update_host_.c_str(),
                           static_cast<Uint16>(update_port_)) != 0) {
        // An unresolved address reads as the broadcast address: send nothing.
        std::puts("\nError re-resolving host!");
        std::fflush(stdout);
        return;
    }
    // Slots 1 and 2 have no address until an answer has set them up; until
    // then only slot 0 goes out.
    SDLNet_UDP_SendV(send_sock, out_packets, outbound_addressed_ ? wire::kPacketsPerVector : 1);
    std::fflush(stdout);
}

void UDP_Server_Service::reply() {}
