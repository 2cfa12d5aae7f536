#include "vector_client.h"

#include <arpa/inet.h>
#include <sys/select.h>

#include <cstring>

#include "slot_text.h"
#include "socket_support.h"
#include "vector_receive.h"

namespace {

std::string library_error() {
    return net::library_error("unknown error");
}

}  // namespace

Vector_Client::~Vector_Client() {
    SDLNet_FreePacketV(answers_);
    SDLNet_FreeSocketSet(answer_set_);
    SDLNet_UDP_Close(answer_sock_);
    SDLNet_UDP_Close(send_sock_);
    if (started_) {
        SDLNet_Quit();
    }
}

bool Vector_Client::start(std::string& error) {
    if (SDLNet_Init() < 0) {
        error = "SDLNet_Init: " + library_error();
        return false;
    }
    started_ = true;
    send_sock_ = SDLNet_UDP_Open(0);
    if (send_sock_ == nullptr) {
        error = "SDLNet_UDP_Open(0): " + library_error();
        return false;
    }
    return true;
}

bool Vector_Client::listen_for_answers(std::string& error) {
    answer_sock_ = SDLNet_UDP_Open(wire::kAnswerPort);
    if (answer_sock_ == nullptr) {
        error = "SDLNet_UDP_Open(" + std::to_string(wire::kAnswerPort) + "): " + library_error();
        return false;
    }
    const int fd = net::udp_descriptor(answer_sock_);
    if (!net::library_can_wait_on(fd)) {
        error = "SDLNet_UDP_Open(" + std::to_string(wire::kAnswerPort) +
                "): the socket is on descriptor " + std::to_string(fd) +
                ", and SDL_net can only wait on descriptors below " + std::to_string(FD_SETSIZE) +
                " (too many are open)";
        return false;
    }
    answer_set_ = SDLNet_AllocSocketSet(1);
    answers_ = SDLNet_AllocPacketV(wire::kPacketsPerVector, wire::kPacketSize);
    if (answer_set_ == nullptr || answers_ == nullptr) {
        error = "out of memory: " + library_error();
        return false;
    }
    SDLNet_UDP_AddSocket(answer_set_, answer_sock_);
    return true;
}

bool Vector_Client::resolve(const std::string& host, int port, std::string& error) {
    SDL_ClearError();
    if (SDLNet_ResolveHost(&dest_, host.c_str(), static_cast<Uint16>(port)) != 0) {
        error = "SDLNet_ResolveHost(" + host + " " + std::to_string(port) +
                "): " + net::library_error("the name is not a known host or numeric address");
        return false;
    }
    return true;
}

int Vector_Client::sender_port() const {
    const IPaddress* local = SDLNet_UDP_GetPeerAddress(send_sock_, -1);
    return local == nullptr ? 0 : ntohs(local->port);
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
    if (SDLNet_UDP_SendV(send_sock_, vector.data(), wire::kPacketsPerVector) <
        wire::kPacketsPerVector) {
        error = "SDLNet_UDP_SendV: " + library_error();
        return false;
    }
    return true;
}

void Vector_Client::drop_waiting_answers() {
    if (answers_ == nullptr) {
        return;
    }
    while (SDLNet_CheckSockets(answer_set_, 0) > 0 &&
           SDLNet_UDP_RecvV(answer_sock_, answers_) > 0) {
    }
}

int Vector_Client::collect_answers(std::chrono::milliseconds timeout, VectorTexts& texts) {
    const int received = wire::receive_rest(answer_sock_, answer_set_, answers_, 0,
                                            std::chrono::steady_clock::now() + timeout);
    for (int i = 0; i < received; ++i) {
        const UDPpacket* p = answers_[i];
        const auto len = static_cast<std::size_t>(p->len < 0 ? 0 : p->len);
        texts.at(static_cast<std::size_t>(i)) = std::string(wire::slot_text(p->data, len));
    }
    return received;
}
