// The sending side of the packet-vector exchange: sends vectors to a peer,
// each from a socket of its own, and reads the datagrams that peers send to
// the answer port.
#ifndef LANLINK_SEND_VECTOR_CLIENT_H
#define LANLINK_SEND_VECTOR_CLIENT_H

#include <SDL_net.h>

#include <array>
#include <chrono>
#include <csignal>
#include <string>

#include "endpoint.h"
#include "owned_fd.h"
#include "resolve.h"
#include "wire_format.h"

using VectorTexts = std::array<std::string, wire::kPacketsPerVector>;

class Vector_Client {
  public:
    // Sends and listens on `family`: both, or one alone.
    explicit Vector_Client(net::Family family = net::Family::kBoth) : family_(family) {}
    ~Vector_Client();
    Vector_Client(const Vector_Client&) = delete;
    Vector_Client& operator=(const Vector_Client&) = delete;
    Vector_Client(Vector_Client&&) = delete;
    Vector_Client& operator=(Vector_Client&&) = delete;

    // Each step returns false on failure, with the reason in `error`.
    bool start(std::string& error);  // SDL_net
    // Where answers come: SDL_net's IPv4 socket and an IPv6 one beside it
    // (where the machine has IPv6), or the one of the family alone.
    bool listen_for_answers(int port, std::string& error);
    bool resolve(const std::string& host, int port, std::string& error);
    // A fresh sending socket, replacing the last one; its port in `port`.
    bool open_sender(int& port, std::string& error);
    // One vector send of three whole datagrams (each text's zero included).
    bool send(const VectorTexts& datagrams, std::string& error);

    enum class Next { kDatagram, kTimedOut, kInterrupted };
    // Waits until `deadline` for the next datagram on the answer port, or
    // until a signal handler has set `interrupted`; signals are let in with
    // `waiting_mask` only during the wait.
    Next next_datagram(std::chrono::steady_clock::time_point deadline,
                       const volatile std::sig_atomic_t& interrupted, const sigset_t& waiting_mask,
                       std::string& bytes);

  private:
    net::Family family_;
    bool started_ = false;
    UDPsocket send_sock_ = nullptr;
    UDPsocket answer_sock_ = nullptr;
    int answer_fd_ = -1;
    net::Endpoint dest_;
    UDPpacket* answer_ = nullptr;
    net::Owned_Fd send6_;    // the sending socket, for an IPv6 destination
    net::Owned_Fd answer6_;  // where IPv6 answers come
};

#endif  // LANLINK_SEND_VECTOR_CLIENT_H
