// The peer's one network object: it puts together the sockets, the
// destination, the way in (allow list and assembly), what vectors make it
// do, and the operator's send. What happens is told to one listener.
#ifndef LANLINK_NET_UDP_SERVER_SERVICE_H
#define LANLINK_NET_UDP_SERVER_SERVICE_H

#include <SDL_net.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture.h"
#include "capture_tap.h"
#include "destination.h"
#include "events.h"
#include "operator_send.h"
#include "peer_core.h"
#include "peer_sockets.h"
#include "receive_path.h"
#include "resolve.h"
#include "shared_key.h"
#include "trust.h"
#include "vector_keys.h"
#include "wire_format.h"

// How a peer serves, beyond its ports and destination.
struct Peer_Settings {
    // How long after a vector's first datagram the rest may come.
    std::chrono::milliseconds window = wire::kDefaultWindow;
    // Whose datagrams are taken: every source when empty.
    std::vector<net::Network> allow;
    // Where update answers go.
    net::Answer_To answer_to = net::default_answer_to();
    // The families it listens and sends on: both, or one alone.
    net::Family family = net::Family::kBoth;
    // With a shared key: only vectors it verifies are taken, every vector
    // sent is sealed, and a send time may be this many seconds off.
    std::shared_ptr<const net::Shared_Key> key;
    int max_skew_s = wire::kDefaultMaxSkewSeconds;
    // Where send_update() sends; only tests move it, always to loopback.
    std::string update_host = wire::kSendUpdateHost;
    int update_port = wire::kSendUpdatePort;
    // Every datagram received and sent goes into this pcap file, when given.
    std::string capture_file;
};

class UDP_Server_Service {
  public:
    using Clock = wire::Clock;

    // Starts SDL_net, opens the receive socket on `listen_port` (0 means the
    // default port) and the send socket, resolves the destination `dest_ip`
    // port `dest_port` and allocates the packets, telling `events` of each
    // step. Any failure ends the process with status 1, once told.
    UDP_Server_Service(int listen_port, net::Peer_Events& events,
                       std::string dest_ip = wire::kInitialDestIp,
                       int dest_port = wire::kInitialDestPort,
                       Peer_Settings settings = Peer_Settings());
    // Closes the sockets and shuts SDL_net down, telling each step.
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
    // 0..65535 (refused; the destination is unchanged).
    int resolve_dest_address(int port);
    void show_dest_info() const;
    const net::Destination& destination() const { return destination_.current(); }

    // Sends `word` to the destination as a packet vector: this machine's
    // address on the way there, the listen port and the word. 1 when all
    // three datagrams went out; otherwise 0.
    int send_message(std::string_view word);

    // The sockets to wait on.
    std::size_t sockets() const { return sockets_.sockets(); }
    int descriptor(std::size_t socket) const { return sockets_.descriptor(socket); }

    // Reads what waits on the receive socket (a bounded amount) and handles
    // every vector whose time has come, in the order the vectors came
    // together: told, "update" answered no sooner than 1 ms after it was
    // whole, "quit" obeyed. Never waits. 0 when the other peer sent "quit":
    // what came after it waits for finish().
    int recieve_data();
    // recieve_data() for a waiter that knows which sockets are readable
    // (bit 0 for socket 0): the others are not read unless a window has
    // passed.
    int serve(std::uint32_t readable);
    // When there is something to do without a new datagram: an answer's
    // pause ends, an incomplete vector's window passes, a refusal line is
    // owed (a time in the past: at once); nothing when only a datagram can
    // bring work.
    std::optional<Clock::time_point> next_wake() const;

    // How long the way out may read and handle what waited when it began;
    // what is still left then is counted, not handled.
    static constexpr std::chrono::seconds kWayOutLimit{2};
    // The way out: everything that waited on the socket when it began is
    // read and handled in order (incomplete vectors given up, answers sent
    // once their pause is over), within kWayOutLimit; the drops, refusals
    // and cut datagrams not yet told are told. `between` runs after each
    // round of reading, so that output can flow meanwhile.
    void finish(const std::function<void()>& between = {});

    // The counts, with the drops up to this moment.
    net::Peer_Counters counters() const;
    // After finish(): the counts as they were told, without asking again.
    net::Peer_Counters counters_told() const;

    void send_update(char* data, UDPpacket** source);
    void reply();

  private:
    // Handles everything ready, waiting out the answers' pauses.
    void handle_all_ready();
    // The datagrams go by the capture's tap when there is one.
    net::Datagram_Source& source();
    net::Datagram_Sink& sink();
    // Tells the capture's failure, once, and the datagrams it missed, at
    // most once a second (or, `at_end`, whatever the time).
    void tell_capture(Clock::time_point now, bool at_end);
    void add_capture_counts(net::Peer_Counters& counts) const;

    net::Peer_Events& events_;
    Peer_Settings settings_;
    net::Peer_Sockets sockets_;
    int listen_port_;
    std::shared_ptr<net::Capture> capture_;
    std::unique_ptr<net::Capture_Tap> tap_;
    bool capture_failure_told_ = false;
    std::uint64_t not_captured_told_ = 0;
    Clock::time_point next_capture_line_{};
    net::Destination_Book destination_;
    std::optional<net::Receive_Path> receive_;
    std::unique_ptr<net::Vector_Keys> keys_;
    net::Peer_Core core_;
    net::Operator_Send operator_send_;
};

#endif  // LANLINK_NET_UDP_SERVER_SERVICE_H
