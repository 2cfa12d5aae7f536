#include "udp_server_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string_view>

#include "slot_text.h"
#include "socket_support.h"

namespace {

// A bigger receive queue lets a peer send many vectors back to back while
// each answer pauses for a millisecond. The kernel clamps the request to
// net.core.rmem_max, so asking for more than the system allows is harmless.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
// How long a vector whose first datagrams have arrived waits for the rest of
// its sender's. Loopback delivery alone can lag by tens of milliseconds on a
// loaded machine; a vector that is given up is shown incomplete and not obeyed.
constexpr auto kVectorCompletion = std::chrono::milliseconds(200);
// Senders whose vector is incomplete, at most: one more gives up the oldest.
constexpr std::size_t kMostSenders = 64;
constexpr unsigned long kTimerSlackNanos = 1000;

// Reports a failed start-up step with `format`'s one %s replaced by
// `reason`, and ends the process.
[[noreturn]] void fail(const char* format, const std::string& reason) {
    std::fflush(stdout);  // the step that failed is shown before its error
    std::fprintf(stderr, format, reason.c_str());
    std::exit(1);
}

[[noreturn]] void fail(const char* format, const char* fallback) {
    fail(format, net::library_error(fallback));
}

// Every packet starts with an empty text, no length and no address, so that
// nothing uninitialised is ever printed, answered or sent.
void clear_packet(UDPpacket* p) {
    std::memset(p->data, 0, static_cast<std::size_t>(p->maxlen));
    p->len = 0;
    p->status = 0;
    p->channel = -1;
    p->address = IPaddress{};
}

void clear_packets(UDPpacket** packets) {
    for (int i = 0; i < wire::kPacketsPerVector; ++i) {
        clear_packet(packets[i]);
    }
}

// A received slot keeps its text and nothing else: the bytes after the text
// are zeroed, so the buffer always reads as a terminated text (or as the
// whole buffer when the payload filled it without a zero) and an answer taken
// from its start carries zeros after a short text.
void keep_text_only(UDPpacket* p) {
    const auto capacity = static_cast<std::size_t>(p->maxlen);
    std::size_t received = p->len < 0 ? 0 : static_cast<std::size_t>(p->len);
    received = std::min(received, capacity);
    const std::size_t text = wire::slot_text(p->data, received).size();
    std::memset(p->data + text, 0, capacity - text);
}

std::string_view text_of(const UDPpacket* p) {
    return wire::slot_text(p->data, static_cast<std::size_t>(p->maxlen));
}

// The numeric address this machine sends from towards `to`: connecting a
// datagram socket only picks the route, it sends nothing.
std::string local_address_toward(const IPaddress& to) {
    std::string text = "0.0.0.0";
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return text;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = to.host;
    peer.sin_port = to.port;
    sockaddr_in local{};
    socklen_t len = sizeof local;
    char shown[INET_ADDRSTRLEN] = {};
    if (connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0 &&
        inet_ntop(AF_INET, &local.sin_addr, shown, sizeof shown) != nullptr) {
        text = shown;
    }
    close(fd);
    return text;
}

// The 1 ms pause before an answer: a sleep to an absolute deadline, so that
// a signal cannot stretch it. The 1 us timer slack keeps the wake-up close.
void pause_before_answer() {
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += static_cast<long>(wire::kAnswerPauseMicros) * 1000;
    if (until.tv_nsec >= 1000000000) {
        until.tv_nsec -= 1000000000;
        ++until.tv_sec;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

// printf into a string.
template <typename... Args>
void append(std::string& to, const char* format, Args... args) {
    char line[128];
    const int n = std::snprintf(line, sizeof line, format, args...);
    to.append(line, static_cast<std::size_t>(std::max(0, std::min<int>(n, sizeof line - 1))));
}

bool print_to_stdout(std::string_view text, UDP_Server_Service::Shown /*what*/) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return true;
}

}  // namespace

UDP_Server_Service::UDP_Server_Service(int listen_port, std::string dest_ip, int dest_port)
    : dest_ip(std::move(dest_ip)),
      dest_port(dest_port),
      assembly_(kVectorCompletion, kMostSenders),
      sink_(print_to_stdout) {
    // The pause before an answer is meant to be 1 ms; the default timer slack
    // (50 us) would add to every answer.
    prctl(PR_SET_TIMERSLACK, kTimerSlackNanos);
    std::memcpy(answer_keyword_.data(), wire::kKeywordAnswer, std::strlen(wire::kKeywordAnswer));

    if (listen_port != 0) {
        std::printf("Accepting connections on port: %d\n", listen_port);
    } else {
        std::puts("\nNo port given...\nDefaulting to port 4555...");
        listen_port = wire::kDefaultListenPort;
    }
    listen_port_ = listen_port;

    std::printf("Initializing SDL_net (recieve)...");
    SDL_ClearError();
    if (SDLNet_Init() < 0) {
        fail("FAILED!\nSDLNet_Init: %s\n", "the library could not start");
    }
    std::puts("Success!");

    std::printf("Opening port %d for incoming connections...", listen_port);
    if (!wire::port_in_range(listen_port)) {
        SDL_ClearError();  // a port is 16 bits: a larger number would be wrapped
        fail("FAILED!\nSDLNet_UDP_Open(port): %s\n", "the port is outside 0 to 65535");
    }
    errno = 0;
    recv_sock = SDLNet_UDP_Open(static_cast<Uint16>(listen_port));
    if (recv_sock == nullptr) {
        fail("FAILED!\nSDLNet_UDP_Open(port): %s\n",
             net::open_failure_reason("the socket could not be opened"));
    }
    recv_fd_ = net::udp_descriptor(recv_sock);
    if (!net::library_can_wait_on(recv_fd_)) {
        fail("FAILED!\nSDLNet_UDP_Open(port): %s\n", net::unwaitable_reason(recv_fd_, errno));
    }
    std::puts("Success!");
    net::enlarge_receive_buffer(recv_fd_, kReceiveBufferBytes);
    drops_seen_ = net::kernel_drops(recv_fd_).value_or(0);

    std::printf("Opening random communication socket for sending...");
    SDL_ClearError();
    errno = 0;
    send_sock = SDLNet_UDP_Open(0);
    if (send_sock == nullptr) {
        fail("FAILED!\nSDLNet_UDP_Open(0): %s\n",
             net::open_failure_reason("the socket could not be opened"));
    }
    std::puts("Success!");

    resolve_dest_address();

    std::printf("Allocating memory for sending packets...");
    out_packets = SDLNet_AllocPacketV(wire::kPacketsPerVector, wire::kPacketSize);
    if (out_packets == nullptr) {
        fail("FAILED!\nSDLNet_AllocPacket(512): %s\n", "out of memory");
    }
    std::puts("Success!");
    clear_packets(out_packets);
    for (int i = 0; i < wire::kPacketsPerVector; ++i) {
        out_buffers_.at(i) = out_packets[i]->data;
    }

    std::printf("Allocating memory for recieving packets...");
    in_packets = SDLNet_AllocPacketV(wire::kPacketsPerVector, wire::kPacketSize);
    if (in_packets == nullptr) {
        fail("FAILED!\nSDLNet_AllocPacket(512): %s\n", "out of memory");
    }
    std::puts("Success!\n");
    clear_packets(in_packets);
    arrivals_ = SDLNet_AllocPacketV(wire::kPacketsPerVector, wire::kPacketSize);
    if (arrivals_ == nullptr) {
        throw std::bad_alloc();
    }
}

UDP_Server_Service::~UDP_Server_Service() {
    SDLNet_FreePacketV(arrivals_);
    SDLNet_UDP_Close(send_sock);
    SDLNet_UDP_Close(recv_sock);
    std::puts("Shutting down sending client...");
    std::printf("Freeing allocated memory for outbound packets...");
    // After an answer the outbound packets point into the inbound buffers and
    // at answer_keyword_: give them their own buffers back before freeing.
    for (int i = 0; i < wire::kPacketsPerVector; ++i) {
        out_packets[i]->data = out_buffers_.at(i);
    }
    SDLNet_FreePacketV(out_packets);
    std::puts("Done!\nShutting down recieving client...");
    std::printf("Freeing allocated memory for inbound packets...");
    SDLNet_FreePacketV(in_packets);
    std::printf("Done!\nExiting SDLNet and terminating server...");
    SDLNet_Quit();
    std::puts("Done!");
}

void UDP_Server_Service::resolve_dest_address() {
    std::printf("Resolving destination address...");
    if (!wire::port_in_range(dest_port)) {
        std::fflush(stdout);
        std::fprintf(stderr, "FAILED!\nSDLNet_ResolveHost(%s %d): the port is outside 0 to 65535\n",
                     dest_ip.c_str(), dest_port);
        std::exit(1);
    }
    if (resolve_destination(dest_ip.c_str()) == 0) {
        std::exit(1);
    }
}

int UDP_Server_Service::resolve_dest_address(const char* ip) {
    dest_ip = ip;
    std::printf("Resolving new destination IP @ %s on port %d...", dest_ip.c_str(), dest_port);
    return resolve_destination(dest_ip.c_str());
}

int UDP_Server_Service::resolve_dest_address(int port) {
    if (!wire::port_in_range(port)) {
        std::printf("Port %d is outside 0 to 65535: the destination stays %s on port %d.\n", port,
                    dest_ip.c_str(), dest_port);
        return -1;
    }
    dest_port = port;
    std::printf("Setting destination port %d @ %s...", dest_port, dest_ip.c_str());
    return resolve_destination(dest_ip.c_str());
}

void UDP_Server_Service::refuse_port(std::string_view text) const {
    std::printf("Port \"%s\" is not a whole decimal number: the destination stays %s on port %d.\n",
                wire::escape_controls(text).c_str(), dest_ip.c_str(), dest_port);
}

int UDP_Server_Service::resolve_destination(const char* host) {
    SDL_ClearError();
    if (SDLNet_ResolveHost(&dest_addr, host, static_cast<Uint16>(dest_port)) != 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "FAILED!\nSDLNet_ResolveHost(%s %d): %s\n", dest_ip.c_str(), dest_port,
                     net::library_error(net::kResolveFallback).c_str());
        return 0;
    }
    std::puts("Success!");
    return 1;
}

void UDP_Server_Service::show_dest_info() const {
    std::printf("Sending packets to %s on port %d\n", dest_ip.c_str(), dest_port);
}

int UDP_Server_Service::send_message(std::string_view word) {
    const auto longest = static_cast<std::size_t>(wire::kPacketSize - 1);
    if (word.size() > longest) {
        std::printf(
            "Not sent: the message is %zu bytes long, and a packet holds %zu and its "
            "terminating zero.\n",
            word.size(), longest);
        return 0;
    }
    const std::string address = local_address_toward(dest_addr);
    const std::string port = std::to_string(listen_port_);
    const std::array<std::string_view, wire::kPacketsPerVector> texts = {address, port, word};
    for (int i = 0; i < wire::kPacketsPerVector; ++i) {
        UDPpacket* p = out_packets[i];
        const std::string_view text = texts.at(i);
        p->data = out_buffers_.at(i);
        std::memcpy(p->data, text.data(), text.size());
        p->data[text.size()] = 0;  // each text travels with its terminating zero
        p->len = static_cast<int>(text.size() + 1);
        p->channel = -1;
        p->address = dest_addr;
    }
    outbound_addressed_ = true;
    if (SDLNet_UDP_SendV(send_sock, out_packets, wire::kPacketsPerVector) <
        wire::kPacketsPerVector) {
        std::puts("Error sending packet!");
        return 0;
    }
    ++counters_.vectors_sent;
    std::printf("Sent \"%s\" to %s on port %d\n", wire::escape_controls(word).c_str(),
                dest_ip.c_str(), dest_port);
    return 1;
}

bool UDP_Server_Service::wait_for_data(int timeout_ms) const {
    pollfd ready{recv_fd_, POLLIN, 0};
    int result = 0;
    while ((result = poll(&ready, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    return result > 0;
}

int UDP_Server_Service::recieve_data() {
    bool handled = false;
    return handle_vector(handled);
}

int UDP_Server_Service::serve_arrivals(int most) {
    bool handled = true;
    for (int i = 0; i < most && handled; ++i) {
        if (handle_vector(handled) == 0) {
            return 0;
        }
    }
    return 1;
}

int UDP_Server_Service::wait_timeout_ms() const {
    const auto deadline = assembly_.next_deadline();
    if (!deadline) {
        return -1;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

void UDP_Server_Service::take_arrivals() {
    while (!assembly_.has_ready()) {
        const int received = SDLNet_UDP_RecvV(recv_sock, arrivals_);
        const auto now = std::chrono::steady_clock::now();
        for (int i = 0; i < received; ++i) {
            const UDPpacket* p = arrivals_[i];
            assembly_.add(p->address, p->data, static_cast<std::size_t>(std::max(p->len, 0)), now);
        }
        if (received < wire::kPacketsPerVector) {
            // The queue ran empty (or the receive failed): a good moment to
            // look at what the kernel dropped and at what has waited too long.
            report_drops();
            assembly_.expire(now);
            return;
        }
    }
}

void UDP_Server_Service::report_drops() {
    const auto drops = net::kernel_drops(recv_fd_);
    if (drops && *drops != drops_seen_) {
        const std::uint32_t grown = *drops - drops_seen_;  // the kernel's count wraps at 2^32
        drops_seen_ = *drops;
        drops_untold_ += grown;
        counters_.datagrams_dropped += grown;
        // Whatever senders were in the middle of lost datagrams with them:
        // their vectors are given up, so that their next ones start whole.
        assembly_.give_up_all();
    }
    if (drops_untold_ == 0) {
        return;
    }
    std::string line;
    append(line,
           "%llu %s dropped by the system before they could be read (the receive queue was full)\n",
           static_cast<unsigned long long>(drops_untold_),
           drops_untold_ == 1 ? "datagram" : "datagrams");
    if (sink_(line, Shown::kNotice)) {
        drops_untold_ = 0;
    }
}

int UDP_Server_Service::handle_vector(bool& handled) {
    take_arrivals();
    handled = assembly_.has_ready();
    if (!handled) {
        return 1;
    }
    const wire::AssembledVector& vector = assembly_.front();
    // Slots the sender did not fill read as empty texts.
    for (int i = 0; i < wire::kPacketsPerVector; ++i) {
        UDPpacket* p = in_packets[i];
        clear_packet(p);
        if (i < vector.filled) {
            const auto len = vector.len.at(static_cast<std::size_t>(i));
            std::memcpy(p->data, vector.data.at(static_cast<std::size_t>(i)).data(), len);
            p->len = static_cast<int>(len);
            keep_text_only(p);
        }
        p->address = vector.from;
    }
    const bool whole = vector.whole();
    assembly_.pop();
    ++counters_.vectors_received;
    if (!whole) {
        ++counters_.incomplete_vectors;
    }

    const std::string_view keyword = text_of(in_packets[wire::kSlotKeyword]);
    std::string shown = wire::vector_printout(text_of(in_packets[wire::kSlotAddress]),
                                              text_of(in_packets[wire::kSlotPort]), keyword);
    int result = 1;
    // A keyword is obeyed only from a vector whose three datagrams arrived.
    if (whole && keyword == wire::kKeywordQuit) {
        shown += "\nServer recieved \"quit\" signal from client!\n";
        result = 0;
    } else if (whole && keyword == wire::kKeywordUpdate) {
        send_answer(shown);
    }
    if (!shown.empty()) {  // empty when a failed answer has shown it already
        sink_(shown, Shown::kVector);
    }
    return result;
}

void UDP_Server_Service::send_answer(std::string& shown) {
    shown += "Recieved update request from client... redirecting and sending information...\n";
    // The answer echoes the received address and port texts in place.
    out_packets[0]->data = in_packets[wire::kSlotAddress]->data;
    out_packets[1]->data = in_packets[wire::kSlotPort]->data;
    out_packets[2]->data = answer_keyword_.data();

    IPaddress endpoint{};
    SDL_ClearError();
    if (SDLNet_ResolveHost(&endpoint, wire::kAnswerHost, wire::kAnswerPort) != 0) {
        sink_(shown, Shown::kVector);  // the printout so far comes before the error
        shown.clear();
        std::fflush(stdout);
        std::fprintf(stderr, "FAILED!\nSDLNet_ResolveHost(%s %d): %s\n", wire::kAnswerHost,
                     wire::kAnswerPort, net::library_error(net::kResolveFallback).c_str());
        return;
    }
    pause_before_answer();

    const IPaddress& from = in_packets[wire::kSlotAddress]->address;
    append(shown, "ip: %d\n", static_cast<int>(from.host));
    append(shown, "host: %d\n", from.port);
    shown += "Setting packet vector destination info...\n";
    for (int i = 0; i < wire::kPacketsPerVector; ++i) {
        append(shown, "Packet[%d]: setting host->", i);
        shown += "setting port->";
        out_packets[i]->address = endpoint;
        shown += "setting length->";
        out_packets[i]->len = wire::kAnswerLength;
        append(shown, "%d setting channel...\n", out_packets[i]->len);
        out_packets[i]->channel = -1;
    }
    outbound_addressed_ = true;
    shown += "Sending...\n";
    // A vector send counts the packets that went out; fewer than all is a failure.
    if (SDLNet_UDP_SendV(send_sock, out_packets, wire::kPacketsPerVector) <
        wire::kPacketsPerVector) {
        shown += "Error sending packet!\n";
    } else {
        ++counters_.updates_answered;
    }
    shown += "Update request complete.\n";
}

void UDP_Server_Service::send_update(char* data, UDPpacket** source) {
    out_packets[0]->data = reinterpret_cast<Uint8*>(data);
    std::puts("SENDING!");
    std::printf("IP: %d\nport: %d\n", static_cast<int>(source[0]->address.host),
                source[0]->address.port);
    out_packets[0]->len = static_cast<int>(std::strlen(data) + 1);
    out_packets[0]->channel = -1;
    if (SDLNet_ResolveHost(&out_packets[0]->address, update_host_.c_str(),
                           static_cast<Uint16>(update_port_)) != 0) {
        // An unresolved address reads as the broadcast address: send nothing.
        std::puts("\nError re-resolving host!");
        return;
    }
    // Slots 1 and 2 have no address until an answer or a message has set
    // them up; until then only slot 0 goes out.
    SDLNet_UDP_SendV(send_sock, out_packets, outbound_addressed_ ? wire::kPacketsPerVector : 1);
}

void UDP_Server_Service::set_update_endpoint(std::string host, int port) {
    update_host_ = std::move(host);
    update_port_ = port;
}

void UDP_Server_Service::reply() {}
