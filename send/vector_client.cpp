#include "vector_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

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
    if (family_ != net::Family::kIpv6) {
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
    }
    if (family_ == net::Family::kIpv4) {
        return true;
    }
    answer6_.reset(socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    any.sin6_port = htons(static_cast<std::uint16_t>(port));
    const int on = 1;
    if (answer6_.valid()) {
        setsockopt(answer6_.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    if (!answer6_.valid() ||
        bind(answer6_.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        const int why = errno;
        answer6_.reset();
        // Beside IPv4 it is left out where the machine has no IPv6.
        if (family_ == net::Family::kIpv6 ||
            (why != EAFNOSUPPORT && why != EADDRNOTAVAIL && why != EPROTONOSUPPORT)) {
            error = "bind([::]:" + std::to_string(port) + "): " + std::strerror(why);
            return false;
        }
    }
    return true;
}

bool Vector_Client::resolve(const std::string& host, int port, std::string& error) {
    std::string reason;
    const auto found = net::resolve(host, static_cast<std::uint16_t>(port), family_, reason);
    if (!found) {
        error = "SDLNet_ResolveHost(" + host + " " + std::to_string(port) + "): " + reason;
        return false;
    }
    dest_ = *found;
    return true;
}

bool Vector_Client::open_sender(int& port, std::string& error) {
    if (dest_.family() == AF_INET6) {
        send6_.reset(socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in6 any{};
        any.sin6_family = AF_INET6;
        any.sin6_addr = in6addr_any;
        socklen_t len = sizeof any;
        if (!send6_.valid() ||
            bind(send6_.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 ||
            getsockname(send6_.get(), reinterpret_cast<sockaddr*>(&any), &len) != 0) {
            error = std::string("socket(AF_INET6): ") + std::strerror(errno);
            return false;
        }
        port = ntohs(any.sin6_port);
        return true;
    }
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

bool Vector_Client::send(const VectorTexts& datagrams, std::string& error) {
    if (dest_.family() == AF_INET6) {
        for (const std::string& datagram : datagrams) {
            if (sendto(send6_.get(), datagram.data(), datagram.size(), 0, dest_.address(),
                       dest_.length()) != static_cast<ssize_t>(datagram.size())) {
                error = std::string("sendto: ") + std::strerror(errno);
                return false;
            }
        }
        return true;
    }
    const IPaddress dest{dest_.ipv4_host(), htons(dest_.port())};
    // The packets point at the datagrams themselves, so nothing is copied
    // or allocated per send.
    std::array<UDPpacket, wire::kPacketsPerVector> packets{};
    std::array<UDPpacket*, wire::kPacketsPerVector> vector{};
    for (std::size_t i = 0; i < packets.size(); ++i) {
        packets.at(i).channel = -1;
        packets.at(i).data =
            reinterpret_cast<Uint8*>(const_cast<char*>(datagrams.at(i).data()));  // only read
        packets.at(i).len = static_cast<int>(datagrams.at(i).size());
        packets.at(i).maxlen = packets.at(i).len;
        packets.at(i).address = dest;
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
        std::array<pollfd, 2> ready{{{answer_fd_, POLLIN, 0}, {answer6_.get(), POLLIN, 0}}};
        const timespec limit{static_cast<time_t>(left / 1000),
                             static_cast<long>(left % 1000) * 1000000};
        const int result = ppoll(ready.data(), ready.size(), &limit, &waiting_mask);
        if (result < 0 && errno != EINTR) {
            return Next::kTimedOut;
        }
        if (result > 0 && ready[0].revents != 0 && SDLNet_UDP_Recv(answer_sock_, answer_) > 0) {
            const auto len = static_cast<std::size_t>(std::max(answer_->len, 0));
            bytes.assign(reinterpret_cast<const char*>(answer_->data), len);
            return Next::kDatagram;
        }
        if (result > 0 && ready[1].revents != 0) {
            char datagram[wire::kPacketSize];
            const ssize_t got = recv(answer6_.get(), datagram, sizeof datagram, MSG_DONTWAIT);
            if (got >= 0) {
                bytes.assign(datagram, static_cast<std::size_t>(got));
                return Next::kDatagram;
            }
        }
        if (result == 0 && left <= 0) {
            return Next::kTimedOut;
        }
    }
}
