#include "vector_client.h"

#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "socket_support.h"

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

Vector_Client::~Vector_Client() {
    SDLNet_FreePacket(answer_);
    SDLNet_UDP_Close(answer_sock_);
    SDLNet_UDP_Close(send_sock_);
    if (started_) {
        SDLNet_Quit();
    }
}

bool Vector_Client::start(std::string& error) {
    SDL_ClearError();
    if (SDLNet_Init() < 0) {
        error = "SDLNet_Init: " + net::library_error("the library could not start");
        return false;
    }
    started_ = true;
    return true;
}

bool Vector_Client::listen_for_answers(int port, std::string& error) {
    SDL_ClearError();
    errno = 0;
    answer_sock_ = SDLNet_UDP_Open(static_cast<Uint16>(port));
    if (answer_sock_ == nullptr) {
        error = "SDLNet_UDP_Open(" + std::to_string(port) +
                "): " + net::open_failure_reason("the socket could not be opened");
        return false;
    }
    // SDL_net reads a datagram only after select() says it is there.
    answer_fd_ = net::udp_descriptor(answer_sock_);
    const int why = errno;
    if (!net::library_can_wait_on(answer_fd_)) {
        error = "SDLNet_UDP_Open(" + std::to_string(port) +
                "): " + net::unwaitable_reason(answer_fd_, why);
        return false;
    }
    answer_ = SDLNet_AllocPacket(wire::kPacketSize);
    if (answer_ == nullptr) {
        error = "SDLNet_AllocPacket: out of memory";
        return false;
    }
    return true;
}

bool Vector_Client::resolve(const std::string& host, int port, std::string& error) {
    SDL_ClearError();
    if (SDLNet_ResolveHost(&dest_, host.c_str(), static_cast<Uint16>(port)) != 0) {
        error = "SDLNet_ResolveHost(" + host + " " + std::to_string(port) +
                "): " + net::library_error(net::kResolveFallback);
        return false;
    }
    return true;
}

bool Vector_Client::open_sender(int& port, std::string& error) {
    SDLNet_UDP_Close(send_sock_);
    SDL_ClearError();
    send_sock_ = SDLNet_UDP_Open(0);
    const IPaddress* local =
        send_sock_ == nullptr ? nullptr : SDLNet_UDP_GetPeerAddress(send_sock_, -1);
    if (local == nullptr) {
        error = "SDLNet_UDP_Open(0): " + net::library_error("the socket could not be opened");
        return false;
    }
    port = ntohs(local->port);
    return true;
}

bool Vector_Client::send(const VectorTexts& texts, std::string& error) {
    // Each text goes with its terminating zero; the packets point at the
    // texts themselves, so nothing is copied or allocated per send.
    std::array<UDPpacket, wire::kPacketsPerVector> packets{};
    std::array<UDPpacket*, wire::kPacketsPerVector> vector{};
    for (std::size_t i = 0; i < packets.size(); ++i) {
        packets.at(i).channel = -1;
        packets.at(i).data =
            reinterpret_cast<Uint8*>(const_cast<char*>(texts.at(i).c_str()));  // only read
        packets.at(i).len = static_cast<int>(texts.at(i).size() + 1);
        packets.at(i).maxlen = packets.at(i).len;
        packets.at(i).address = dest_;
        vector.at(i) = &packets.at(i);
    }
    SDL_ClearError();
    if (SDLNet_UDP_SendV(send_sock_, vector.data(), wire::kPacketsPerVector) <
        wire::kPacketsPerVector) {
        error = "SDLNet_UDP_SendV: " + net::library_error("not every datagram could be sent");
        return false;
    }
    return true;
}

Vector_Client::Next Vector_Client::next_datagram(Clock::time_point deadline,
                                                 const volatile std::sig_atomic_t& interrupted,
                                                 const sigset_t& waiting_mask, std::string& bytes) {
    for (;;) {
        if (interrupted != 0) {
            return Next::kInterrupted;
        }
        const auto left = std::max<long long>(
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count(), 0);
        pollfd ready{answer_fd_, POLLIN, 0};
        const timespec limit{static_cast<time_t>(left / 1000),
                             static_cast<long>(left % 1000) * 1000000};
        const int result = ppoll(&ready, 1, &limit, &waiting_mask);
        if (result < 0 && errno != EINTR) {
            return Next::kTimedOut;
        }
        if (result > 0 && SDLNet_UDP_Recv(answer_sock_, answer_) > 0) {
            const auto len = static_cast<std::size_t>(std::max(answer_->len, 0));
            bytes.assign(reinterpret_cast<const char*>(answer_->data), len);
            return Next::kDatagram;
        }
        if (result == 0 && left <= 0) {
            return Next::kTimedOut;
        }
    }
}
