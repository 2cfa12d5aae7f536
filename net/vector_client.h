// The sending side of the packet-vector exchange: sends one vector to a peer
// and collects the "up_resp" answers that peers send to the answer port.
#ifndef LANLINK_NET_VECTOR_CLIENT_H
#define LANLINK_NET_VECTOR_CLIENT_H

#include <SDL_net.h>

#include <array>
#include <chrono>
#include <string>

#include "wire_format.h"

using VectorTexts = std::array<std::string, wire::kPacketsPerVector>;

class Vector_Client {
  public:
    Vector_Client() = default;
    ~Vector_Client();
    Vector_Client(const Vector_Client&) = delete;
    Vector_Client& operator=(const Vector_Client&) = delete;
    Vector_Client(Vector_Client&&) = delete;
    Vector_Client& operator=(Vector_Client&&) = delete;

    // Each step returns false on failure with SDL_net's error text in `error`.
    bool start(std::string& error);               // SDL_net and the sending socket
    bool listen_for_answers(std::string& error);  // the answer port
    bool resolve(const std::string& host, int port, std::string& error);
    bool send(const VectorTexts& texts, std::string& error);  // one vector send

    // The sending socket's own port.
    int sender_port() const;
    // Drops answers that arrived late for an earlier request.
    void drop_waiting_answers();
    // Waits up to `timeout` for the three answer datagrams; returns how many
    // arrived. Each text ends at its first zero or at the bytes received.
    int collect_answers(std::chrono::milliseconds timeout, VectorTexts& texts);

  private:
    bool started_ = false;
    UDPsocket send_sock_ = nullptr;
    UDPsocket answer_sock_ = nullptr;
    SDLNet_SocketSet answer_set_ = nullptr;
    IPaddress dest_{};
    UDPpacket** answers_ = nullptr;
};

#endif  // LANLINK_NET_VECTOR_CLIENT_H
