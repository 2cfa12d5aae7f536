// The peer's one network object: SDL_net, a receive and a send socket, the
// inbound and outbound packet vectors and the operator's destination.
#ifndef LANLINK_NET_UDP_SERVER_SERVICE_H
#define LANLINK_NET_UDP_SERVER_SERVICE_H

#include <SDL_net.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "vector_assembly.h"
#include "wire_format.h"

// What the peer has done since it started.
struct Peer_Counters {
    std::uint64_t vectors_received = 0;    // whole and incomplete
    std::uint64_t incomplete_vectors = 0;  // given up before their third datagram came
    std::uint64_t updates_answered = 0;
    std::uint64_t vectors_sent = 0;       // by send_message()
    std::uint64_t datagrams_dropped = 0;  // by the system, its receive queue full
};

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
    // Refuses, with a message naming it, a port text that is not a whole
    // decimal number; the destination is unchanged.
    void refuse_port(std::string_view text) const;

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

    // Handles the next packet vector, if one is ready: whole, or given up as
    // incomplete because its time is up. Never waits. 0 when the other peer
    // sent "quit".
    int recieve_data();
    // recieve_data() for up to `most` vectors in a row, stopping when none
    // is ready: a burst costs no extra wait per vector. 0 on "quit".
    int serve_arrivals(int most);

    // How long a waiter may sleep before an incomplete vector's time is up
    // (rounded up to whole milliseconds); -1 when no vector is incomplete.
    int wait_timeout_ms() const;

    const Peer_Counters& counters() const { return counters_; }

    // Where printouts go. A vector's printout (with its answer's lines) is
    // handed over whole, after its answer has been sent; the drop line is a
    // notice. The sink returns false when it has no room: a vector's
    // printout is then not shown (the sink counts it), and a drop line is
    // kept and its count told with the next one. The default writes to
    // standard output.
    enum class Shown { kVector, kNotice };
    using Printout_Sink = std::function<bool(std::string_view text, Shown what)>;
    void set_printout_sink(Printout_Sink sink) { sink_ = std::move(sink); }

    void send_update(char* data, UDPpacket** source);
    void reply();

    // Where send_update() sends; only tests move it, always to loopback.
    void set_update_endpoint(std::string host, int port);

  private:
    // Resolves the destination with the current port and reports the result.
    int resolve_destination(const char* host);
    // Appends the answer's lines to `shown` and sends the answer.
    void send_answer(std::string& shown);
    // Reads what the socket holds into the assembly, until a vector is
    // ready or the queue is empty; an empty queue checks the drop count.
    void take_arrivals();
    void report_drops();
    // recieve_data(), telling in `handled` whether a vector was handled.
    int handle_vector(bool& handled);

    UDPsocket send_sock = nullptr;
    UDPsocket recv_sock = nullptr;
    UDPpacket** out_packets = nullptr;
    UDPpacket** in_packets = nullptr;
    IPaddress dest_addr{};
    std::string dest_ip;
    int dest_port = 0;

    int listen_port_ = 0;
    int recv_fd_ = -1;
    UDPpacket** arrivals_ = nullptr;  // datagrams as received, before assembly
    wire::VectorAssembly assembly_;
    std::uint32_t drops_seen_ = 0;    // the kernel's drop count when last looked at
    std::uint64_t drops_untold_ = 0;  // dropped, and no line has said so yet
    Peer_Counters counters_;
    Printout_Sink sink_;
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
