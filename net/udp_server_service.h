// The peer's one network object: SDL_net, a receive and a send socket, the
// inbound and outbound packet vectors and the operator's destination.
#ifndef LANLINK_NET_UDP_SERVER_SERVICE_H
#define LANLINK_NET_UDP_SERVER_SERVICE_H

#include <SDL_net.h>

#include <array>
#include <string>

#include "wire_format.h"

class UDP_Server_Service {
  public:
    // Starts SDL_net, opens the receive socket on `listen_port` (0 means the
    // default port) and the send socket, resolves the initial destination and
    // allocates both packet vectors. Any failure ends the process with status 1.
    // `update_host` and `update_port` are where send_update() sends.
    explicit UDP_Server_Service(int listen_port, std::string update_host = wire::kSendUpdateHost,
                                int update_port = wire::kSendUpdatePort);
    ~UDP_Server_Service();

    UDP_Server_Service(const UDP_Server_Service&) = delete;
    UDP_Server_Service& operator=(const UDP_Server_Service&) = delete;
    UDP_Server_Service(UDP_Server_Service&&) = delete;
    UDP_Server_Service& operator=(UDP_Server_Service&&) = delete;

    // Resolves the wildcard address with the current port; fatal on failure.
    void resolve_dest_address();
    // New destination address text, resolved with the current port: 1 on success.
    int resolve_dest_address(const char* ip);
    // New destination port, resolved with the current address text: 1 on success.
    int resolve_dest_address(int port);
    void show_dest_info() const;

    // Waits up to `timeout_ms` for a datagram on the receive socket; true when
    // one is waiting. The loop calls this before recieve_data() so that it
    // sleeps instead of spinning.
    bool wait_for_data(Uint32 timeout_ms);

    // Takes a packet vector if one has arrived, prints and handles it. Never
    // waits when nothing has arrived. 0 when the other peer sent "quit".
    int recieve_data();

    void send_update(char* data, UDPpacket** source);
    void reply();

  private:
    // Resolves the destination with the current port and reports the result.
    int resolve_destination(const char* host);
    void send_answer();

    UDPsocket send_sock = nullptr;
    UDPsocket recv_sock = nullptr;
    UDPpacket** out_packets = nullptr;
    UDPpacket** in_packets = nullptr;
    IPaddress dest_addr{};
    std::string dest_ip;
    int dest_port = 0;

    SDLNet_SocketSet recv_set_ = nullptr;
    // The outbound packets' own buffers: an answer points the packets at other
    // memory, and they get these back before the vector is freed.
    std::array<Uint8*, wire::kPacketsPerVector> out_buffers_{};
    // "up_resp" padded with zeros to a whole answer datagram.
    std::array<Uint8, wire::kAnswerLength> answer_keyword_{};
    bool outbound_addressed_ = false;  // slots 1 and 2 have been given an address
    std::string update_host_;
    int update_port_;
};

#endif  // LANLINK_NET_UDP_SERVER_SERVICE_H
