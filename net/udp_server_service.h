// The peer's one network object: SDL_net, a receive and a send socket, the
// inbound and outbound packet vectors and the operator's destination.
#ifndef LANLINK_NET_UDP_SERVER_SERVICE_H
#define LANLINK_NET_UDP_SERVER_SERVICE_H

#include <SDL_net.h>

#include <array>
#include <string>
#include <string_view>

#include "wire_format.h"

class UDP_Server_Service {
  public:
    // Starts SDL_net, opens the receive socket on `listen_port` (0 means the
    // default port) and the send socket, resolves the destination `dest_ip`
    // port `dest_port` and allocates both packet vectors. Any failure ends
    // the process with status 1.
    explicit UDP_Server_Service(int listen_port, std::string dest_ip = wire::kInitialDestIp,
                                int dest_port = wire::kInitialDestPort);
    ~UDP_Server_Service();

    UDP_Server_Service(const UDP_Server_Service&) = delete;
    UDP_Server_Service& operator=(const UDP_Server_Service&) = delete;
    UDP_Server_Service(UDP_Server_Service&&) = delete;
    UDP_Server_Service& operator=(UDP_Server_Service&&) = delete;

    // Resolves the destination address text with the current port; fatal on failure.
    void resolve_dest_address();
    // New destination address text, resolved with the current port: 1 on success.
    int resolve_dest_address(const char* ip);
    // New destination port, resolved with the current address text: 1 on
    // success, 0 when the resolution failed, -1 when the port is outside
    // 0..65535 (refused with a message; the destination is unchanged).
    int resolve_dest_address(int port);
    void show_dest_info() const;

    // Sends `word` to the destination as a packet vector: this machine's
    // address on the way there, the listen port and the word. 1 when all
    // three datagrams went out; otherwise 0, with a message.
    int send_message(std::string_view word);

    // The receive socket's descriptor, for waiting on it together with other
    // input. Only to wait on: every receive goes through SDL_net.
    int receive_descriptor() const { return recv_fd_; }

    // Waits up to `timeout_ms` (-1: without a limit) for a datagram on the
    // receive socket; true when one is waiting.
    bool wait_for_data(int timeout_ms) const;

    // Takes a packet vector if one has arrived, prints and handles it. Never
    // waits when nothing has arrived. 0 when the other peer sent "quit".
    int recieve_data();
    // recieve_data() for up to `most` vectors in a row, stopping at the first
    // receive that finds nothing: a burst costs no extra wait per vector.
    // 0 when the other peer sent "quit".
    int serve_arrivals(int most);

    void send_update(char* data, UDPpacket** source);
    void reply();

    // Where send_update() sends; only tests move it, always to loopback.
    void set_update_endpoint(std::string host, int port);

  private:
    // Resolves the destination with the current port and reports the result.
    int resolve_destination(const char* host);
    void send_answer();
    // recieve_data(), telling in `arrived` whether anything was received.
    int receive_vector(bool& arrived);

    UDPsocket send_sock = nullptr;
    UDPsocket recv_sock = nullptr;
    UDPpacket** out_packets = nullptr;
    UDPpacket** in_packets = nullptr;
    IPaddress dest_addr{};
    std::string dest_ip;
    int dest_port = 0;

    int listen_port_ = 0;
    int recv_fd_ = -1;
    SDLNet_SocketSet recv_set_ = nullptr;
    // The outbound packets' own buffers: an answer points the packets at other
    // memory, and they get these back before the vector is freed.
    std::array<Uint8*, wire::kPacketsPerVector> out_buffers_{};
    // "up_resp" padded with zeros to a whole answer datagram.
    std::array<Uint8, wire::kAnswerLength> answer_keyword_{};
    bool outbound_addressed_ = false;  // slots 1 and 2 have been given an address
    std::string update_host_ = wire::kSendUpdateHost;
    int update_port_ = wire::kSendUpdatePort;
};

#endif  // LANLINK_NET_UDP_SERVER_SERVICE_H
