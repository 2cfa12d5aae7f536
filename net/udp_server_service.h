// The peer's one network object: SDL_net, a receive and a send socket, the
// inbound and outbound packet vectors and the operator's destination.
#ifndef LANLINK_NET_UDP_SERVER_SERVICE_H
#define LANLINK_NET_UDP_SERVER_SERVICE_H

#include <SDL_net.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "batch_receiver.h"
#include "trust.h"
#include "vector_assembly.h"
#include "wire_format.h"

// What the peer has done since it started.
struct Peer_Counters {
    std::uint64_t vectors_received = 0;    // whole and incomplete
    std::uint64_t incomplete_vectors = 0;  // given up before their third datagram came
    std::uint64_t updates_answered = 0;
    std::uint64_t vectors_sent = 0;       // by send_message()
    std::uint64_t datagrams_dropped = 0;  // by the system, its receive queue full
    std::uint64_t datagrams_refused = 0;  // from hosts not allowed
};

// How a peer serves, beyond its ports and destination.
struct Peer_Settings {
    // How long after a vector's first datagram the rest may come.
    std::chrono::milliseconds window = wire::kDefaultWindow;
    // Whose datagrams are taken: every source when empty.
    std::vector<net::Network> allow;
    // Where update answers go.
    net::Answer_To answer_to = net::default_answer_to();
    // No progress lines at start and end, and no account of each answer.
    bool quiet = false;
    // Each printout ends with where the vector came from, and when.
    bool verbose = false;
};

class UDP_Server_Service {
  public:
    using Clock = wire::Clock;

    // Starts SDL_net, opens the receive socket on `listen_port` (0 means the
    // default port) and the send socket, resolves the destination `dest_ip`
    // port `dest_port` and allocates both packet vectors. Any failure ends
    // the process with status 1.
    explicit UDP_Server_Service(int listen_port, std::string dest_ip = wire::kInitialDestIp,
                                int dest_port = wire::kInitialDestPort,
                                Peer_Settings settings = Peer_Settings());
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
    // input.
    int receive_descriptor() const { return recv_fd_; }

    // Waits up to `timeout_ms` (-1: without a limit) for a datagram on the
    // receive socket; true when one is waiting.
    bool wait_for_data(int timeout_ms) const;

    // Reads what waits on the receive socket (a bounded amount) and handles
    // every vector whose time has come, in the order the vectors came
    // together: printed, "update" answered no sooner than 1 ms after it was
    // whole, "quit" obeyed. Never waits. 0 when the other peer sent "quit":
    // what came after it waits for finish().
    int recieve_data();
    // recieve_data() for a waiter that knows whether the socket is
    // readable: when it is not, nothing is read unless a window has passed.
    int serve(bool readable);

    // When there is something to do without a new datagram: an answer's
    // pause ends, an incomplete vector's window passes (a time in the past:
    // at once); nothing when only a datagram can bring work.
    std::optional<Clock::time_point> next_wake() const;
    // next_wake() from now, rounded up to whole milliseconds; -1 for none.
    int wait_timeout_ms() const;

    // The way out: what was received is handled in order (incomplete
    // vectors given up, answers sent when their pause is over), with what
    // waits on the socket first when `read_waiting`, and the drops not yet
    // told are told.
    void finish(bool read_waiting);

    // The counts, with the drops up to this moment.
    Peer_Counters counters() const;

    // Where printouts go. A vector's printout (with its answer's lines) is
    // handed over whole, after its answer has been sent. The sink returns
    // false when it has no room: a vector's printout is then not shown (the
    // sink counts it); a drop line is kept and its count told with the next
    // one. What must be kept (a quit's printout, the lines at the end) is
    // always taken. The default writes to standard output.
    enum class Shown { kVector, kNotice, kKept };
    using Printout_Sink = std::function<bool(std::string_view text, Shown what)>;
    void set_printout_sink(Printout_Sink sink) { sink_ = std::move(sink); }

    void send_update(char* data, UDPpacket** source);
    void reply();

    // Where send_update() sends; only tests move it, always to loopback.
    void set_update_endpoint(std::string host, int port);

  private:
    // Resolves the destination with the current port and reports the result
    // (its success only as progress when `starting`).
    int resolve_destination(const char* host, bool starting);
    // A progress line of start-up or shut-down: not shown when quiet.
    void progress(const std::string& text) const;
    // Reads what waits, up to a bound, into the assembly, and gives up the
    // vectors whose window has passed by `now` (the time before the read).
    void take_arrivals(Clock::time_point now);
    // At a receive that found the queue empty: asks the kernel for drops
    // that no datagram has told of yet, when there can be any.
    void look_for_drops();
    // When the oldest ready vector may be handled: later than now only for
    // an update whose answer pause is not over.
    Clock::time_point due(const wire::Assembled& next) const;
    // Handles what is ready and due; 0 at a "quit".
    int handle_ready();
    // Handles one vector: 0 for a whole "quit".
    int handle_vector(const wire::AssembledVector& vector);
    // Sends the answer to the vector in the inbound packets: true when it went.
    bool send_answer();
    // Tells the drops not yet told, as `what`.
    void tell_drops(Shown what);
    // Tells the datagrams refused and not yet told, at most once a second
    // unless `what` is kKept.
    void tell_refused(Shown what);

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
    std::optional<net::Batch_Receiver> receiver_;
    wire::VectorAssembly assembly_;
    Clock::time_point last_arrival_{};    // of the last datagram read
    int receive_buffer_ = 0;              // the receive queue's size, as the kernel counts it
    std::size_t read_since_drained_ = 0;  // queue taken, at most, since it last ran empty
    std::uint64_t drops_untold_ = 0;      // dropped, and no line has said so yet
    std::uint32_t drops_counted_ = 0;     // the kernel's drop count as far as counted
    Peer_Settings settings_;
    std::uint64_t refused_untold_ = 0;  // refused, and no line has said so yet
    IPaddress last_refused_{};
    Clock::time_point next_refusal_line_{};  // no line on refusals before then
    Peer_Counters counters_;
    Printout_Sink sink_;
    std::string printout_;
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
