#include "peer_sockets.h"

#include <sys/prctl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "arrival_stamps.h"
#include "socket_support.h"

namespace net {

namespace {

// A bigger receive queue lets a peer send many vectors back to back while
// each answer pauses for a millisecond. The kernel clamps the request to
// net.core.rmem_max, so asking for more than the system allows is harmless.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
// Datagrams read in one system call.
constexpr int kBatch = 64;
// The wake-up after a pause is meant to be close: the default timer slack
// (50 us) would add to every answer.
constexpr unsigned long kTimerSlackNanos = 1000;

// Every packet starts with an empty text, no length and no address, so that
// nothing uninitialised is ever sent.
void clear_packets(UDPpacket** packets, int count) {
    for (int i = 0; i < count; ++i) {
        UDPpacket* p = packets[i];
        std::memset(p->data, 0, static_cast<std::size_t>(p->maxlen));
        p->len = 0;
        p->status = 0;
        p->channel = -1;
        p->address = IPaddress{};
    }
}

}  // namespace

Peer_Sockets::Peer_Sockets(Family family, Peer_Events& events) : family_(family), events_(events) {
    prctl(PR_SET_TIMERSLACK, kTimerSlackNanos);
}

Peer_Sockets::~Peer_Sockets() {
    SDLNet_FreePacketV(in_packets);
    SDLNet_FreePacketV(out_packets);
    SDLNet_UDP_Close(send_sock);
    SDLNet_UDP_Close(recv_sock);
    if (started_) {
        SDLNet_Quit();
    }
}

void Peer_Sockets::fail(Step step, const std::string& call, const std::string& reason) const {
    events_.step_failed(step, call, reason);
    std::exit(1);
}

void Peer_Sockets::start_library() {
    events_.step_begun(Step::kLibrary, 0, false);
    SDL_ClearError();
    if (SDLNet_Init() < 0) {
        fail(Step::kLibrary, "SDLNet_Init", library_error("the library could not start"));
    }
    started_ = true;
    events_.step_done(Step::kLibrary);
}

void Peer_Sockets::open_receive(int port) {
    events_.step_begun(Step::kReceiveSocket, port, false);
    if (!wire::port_in_range(port)) {
        fail(Step::kReceiveSocket, "SDLNet_UDP_Open(port)", "the port is outside 0 to 65535");
    }
    // Arrival stamps on before the port is bound, so that no datagram is
    // ever stamped with the time it was read instead.
    const Arrival_Stamps stamps;
    if (family_ == Family::kIpv6) {
        // IPv6 alone: its socket is the receive socket.
        if (const auto failure = ipv6_.open_receive(port, kReceiveBufferBytes)) {
            fail(Step::kReceiveSocket, failure->call, std::strerror(failure->error));
        }
        events_.step_done(Step::kReceiveSocket);
        events_.receive_queue(ipv6_.queue_bytes(), 2 * kReceiveBufferBytes);
        return;
    }
    const char* call = "SDLNet_UDP_Open(port)";
    SDL_ClearError();
    errno = 0;
    recv_sock = SDLNet_UDP_Open(static_cast<Uint16>(port));
    if (recv_sock == nullptr) {
        fail(Step::kReceiveSocket, call, open_failure_reason("the socket could not be opened"));
    }
    // Every receive reads the descriptor SDL_net opened, for the kernel's
    // record of each datagram.
    recv_fd_ = udp_descriptor(recv_sock);
    if (recv_fd_ < 0) {
        fail(Step::kReceiveSocket, call, unwaitable_reason(recv_fd_, errno));
    }
    events_.step_done(Step::kReceiveSocket);
    queue_bytes_ = enlarge_receive_buffer(recv_fd_, kReceiveBufferBytes);
    // The kernel counts twice the bytes asked for.
    events_.receive_queue(queue_bytes_, 2 * kReceiveBufferBytes);
    Batch_Receiver::record_arrivals(recv_fd_);
    if (family_ == Family::kBoth) {
        // Beside it, IPv6 where the machine has it, without a word where not.
        if (const auto failure = ipv6_.open_receive(port, kReceiveBufferBytes)) {
            if (!failure->no_ipv6()) {
                fail(Step::kIpv6ReceiveSocket, failure->call, std::strerror(failure->error));
            }
        } else {
            events_.step_begun(Step::kIpv6ReceiveSocket, port, false);
            events_.step_done(Step::kIpv6ReceiveSocket);
        }
    }
}

void Peer_Sockets::open_send() {
    events_.step_begun(Step::kSendSocket, 0, false);
    if (family_ != Family::kIpv6) {
        SDL_ClearError();
        errno = 0;
        send_sock = SDLNet_UDP_Open(0);
        if (send_sock == nullptr) {
            fail(Step::kSendSocket, "SDLNet_UDP_Open(0)",
                 open_failure_reason("the socket could not be opened"));
        }
        // Its descriptor sends a vector's three datagrams in one call; where
        // it cannot be found, SDL_net sends them one by one.
        send_fd_ = udp_descriptor(send_sock);
    }
    if (family_ == Family::kIpv6 || ipv6_.receiving()) {
        if (const auto failure = ipv6_.open_send()) {
            fail(Step::kSendSocket, failure->call, std::strerror(failure->error));
        }
    }
    events_.step_done(Step::kSendSocket);
}

void Peer_Sockets::allocate() {
    const char* call = "SDLNet_AllocPacket(512)";
    events_.step_begun(Step::kOutboundMemory, 0, false);
    out_packets = SDLNet_AllocPacketV(wire::kPacketsPerVector, wire::kPacketSize);
    if (out_packets == nullptr) {
        fail(Step::kOutboundMemory, call, "out of memory");
    }
    events_.step_done(Step::kOutboundMemory);
    clear_packets(out_packets, wire::kPacketsPerVector);
    for (int i = 0; i < wire::kPacketsPerVector; ++i) {
        out_buffers_.at(i) = out_packets[i]->data;
    }

    events_.step_begun(Step::kInboundMemory, 0, false);
    in_packets = SDLNet_AllocPacketV(kBatch, wire::kPacketSize);
    if (in_packets == nullptr) {
        fail(Step::kInboundMemory, call, "out of memory");
    }
    events_.step_done(Step::kInboundMemory);
    clear_packets(in_packets, kBatch);
    std::vector<unsigned char*> buffers;
    buffers.reserve(kBatch);
    for (int i = 0; i < kBatch; ++i) {
        buffers.push_back(in_packets[i]->data);
    }
    receiver_.emplace(buffers, wire::kPacketSize);
}

void Peer_Sockets::shut_down() {
    SDLNet_UDP_Close(send_sock);
    SDLNet_UDP_Close(recv_sock);
    send_fd_ = -1;
    send_sock = nullptr;
    recv_sock = nullptr;
    events_.shutdown_step(Shutdown_Step::kSendingClient);
    for (int i = 0; i < wire::kPacketsPerVector; ++i) {
        out_packets[i]->data = out_buffers_.at(i);
    }
    SDLNet_FreePacketV(out_packets);
    out_packets = nullptr;
    events_.shutdown_step(Shutdown_Step::kOutboundMemory);
    receiver_.reset();
    SDLNet_FreePacketV(in_packets);
    in_packets = nullptr;
    events_.shutdown_step(Shutdown_Step::kInboundMemory);
    SDLNet_Quit();
    started_ = false;
    events_.shutdown_step(Shutdown_Step::kLibrary);
}

std::size_t Peer_Sockets::sockets() const {
    return (recv_fd_ >= 0 ? 1 : 0) + (ipv6_.receiving() ? 1 : 0);
}

int Peer_Sockets::descriptor(std::size_t socket) const {
    return is_ipv4(socket) ? recv_fd_ : ipv6_.descriptor();
}

int Peer_Sockets::receive(std::size_t socket) {
    read_ipv6_ = !is_ipv4(socket);
    return read_ipv6_ ? ipv6_.receive() : receiver_->receive(recv_fd_);
}

const Received& Peer_Sockets::at(int i) const {
    return read_ipv6_ ? ipv6_.at(i) : receiver_->at(i);
}

int Peer_Sockets::batch() const {
    return read_ipv6_ ? ipv6_.batch() : receiver_->capacity();
}

std::optional<std::uint32_t> Peer_Sockets::drops(std::size_t socket) const {
    return is_ipv4(socket) ? kernel_drops(recv_fd_) : ipv6_.drops();
}

int Peer_Sockets::queue_bytes(std::size_t socket) const {
    return is_ipv4(socket) ? queue_bytes_ : ipv6_.queue_bytes();
}

bool Peer_Sockets::send_vector(const Endpoint& to, const Vector_Bytes& datagrams) {
    if (to.family() == AF_INET6) {
        return ipv6_.send_vector(to, datagrams);
    }
    if (send_sock == nullptr) {
        return false;  // IPv6 alone
    }
    const IPaddress address{to.ipv4_host(), htons(to.port())};
    Vector_Bytes kept;
    for (int i = 0; i < wire::kPacketsPerVector; ++i) {
        UDPpacket* p = out_packets[i];
        const std::string_view bytes = datagrams.at(static_cast<std::size_t>(i));
        p->data = out_buffers_.at(i);
        std::memcpy(p->data, bytes.data(), bytes.size());
        p->len = static_cast<int>(bytes.size());
        p->channel = -1;
        p->address = address;
        kept.at(static_cast<std::size_t>(i)) =
            std::string_view(reinterpret_cast<const char*>(p->data), bytes.size());
    }
    outbound_addressed_ = true;
    // The outbound packets as SDL_net would send them, in one call from its
    // sending socket; fewer than all is a failure.
    if (send_fd_ < 0) {
        return SDLNet_UDP_SendV(send_sock, out_packets, wire::kPacketsPerVector) ==
               wire::kPacketsPerVector;
    }
    return send_datagrams(send_fd_, to, kept);
}

std::uint16_t Peer_Sockets::sending_port(int family) const {
    if (family == AF_INET6) {
        return ipv6_.sending_port();
    }
    const IPaddress* local =
        send_sock != nullptr ? SDLNet_UDP_GetPeerAddress(send_sock, -1) : nullptr;
    return local != nullptr ? ntohs(local->port) : 0;
}

void Peer_Sockets::send_first_slot(const char* data, const IPaddress& to) {
    if (send_sock == nullptr) {
        return;
    }
    UDPpacket* first = out_packets[0];
    first->data = reinterpret_cast<Uint8*>(const_cast<char*>(data));  // only read
    first->len = static_cast<int>(std::strlen(data) + 1);
    first->channel = -1;
    first->address = to;
    // Slots 1 and 2 have no address until a vector has set them up; until
    // then only slot 0 goes out.
    SDLNet_UDP_SendV(send_sock, out_packets, outbound_addressed_ ? wire::kPacketsPerVector : 1);
    first->data = out_buffers_.at(0);
}

}  // namespace net
