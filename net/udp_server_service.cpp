#include "udp_server_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <new>
#include <string_view>

#include "slot_text.h"
#include "socket_support.h"

namespace {

// A bigger receive queue lets a peer send many vectors back to back while
// each answer pauses for a millisecond. The kernel clamps the request to
// net.core.rmem_max, so asking for more than the system allows is harmless.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
// Senders whose vector is incomplete, at most: one more gives up the oldest.
// Each holds up to three packets' bytes, about 1.6 MiB for all of them.
constexpr std::size_t kMostSenders = 1024;
// What a datagram may take of the receive queue beyond twice its bytes.
constexpr std::size_t kDatagramOverhead = 4096;
// Datagrams read in one system call, and at most in one turn of the loop,
// so that a flood never keeps the keyboard waiting for long.
constexpr int kBatch = 64;
constexpr int kMostPerTurn = 16 * kBatch;
// Vectors and drop counts that may wait to be handled: past this the socket
// is not read until they have been, and the kernel's queue holds the rest.
constexpr std::size_t kMostReady = 1024;
constexpr auto kAnswerPause = std::chrono::microseconds(wire::kAnswerPauseMicros);
// Refused datagrams are told in one line at most this often.
constexpr auto kRefusalLineEvery = std::chrono::seconds(1);
// The wake-up after a pause is meant to be close: the default timer slack
// (50 us) would add to every answer.
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

// Sleeps until `when`; a signal cannot stretch the sleep.
void sleep_until(wire::Clock::time_point when) {
    const timespec until = net::timespec_of(when.time_since_epoch());
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

// The steady clock's time of a kernel time stamp (the real-time clock):
// both clocks are read together, and the stamp is taken as that far back.
wire::Clock::time_point steady_time_of(const timespec& stamp, wire::Clock::time_point now,
                                       const timespec& real_now) {
    const auto ago = std::chrono::seconds(real_now.tv_sec - stamp.tv_sec) +
                     std::chrono::nanoseconds(real_now.tv_nsec - stamp.tv_nsec);
    // A real-time clock set back would put arrivals in the future.
    return now - std::max<wire::Clock::duration>(ago, wire::Clock::duration::zero());
}

bool is_update(const wire::AssembledVector& vector) {
    const auto slot = static_cast<std::size_t>(wire::kSlotKeyword);
    return vector.whole() && wire::slot_text(vector.data.at(slot).data(), vector.len.at(slot)) ==
                                 wire::kKeywordUpdate;
}

// A number, in decimal, appended to `to`.
void append_number(std::string& to, long long value) {
    char digits[24];
    const auto done = std::to_chars(std::begin(digits), std::end(digits), value);
    to.append(digits, done.ptr);
}

bool print_to_stdout(std::string_view text, UDP_Server_Service::Shown /*what*/) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return true;
}

// The line a verbose printout ends with: the vector's true source and the
// local time its last datagram arrived, to the millisecond.
void append_origin(std::string& shown, const IPaddress& from, wire::Clock::time_point arrived) {
    const auto ago = wire::Clock::now() - arrived;
    const auto when = std::chrono::system_clock::now() -
                      std::chrono::duration_cast<std::chrono::system_clock::duration>(ago);
    const auto since_epoch = when.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch - seconds).count();
    const time_t whole = static_cast<time_t>(seconds.count());
    tm local{};
    localtime_r(&whole, &local);
    char time_text[32];
    std::snprintf(time_text, sizeof time_text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(millis));
    shown += "\tFROM: ";
    shown += net::endpoint_text(from);
    shown += " at ";
    shown += time_text;
    shown += '\n';
}

// What an answered update adds to its vector's printout: the sender's
// address and port as SDL_net holds them (network byte order), and each
// answer packet's set-up.
void append_answer_lines(std::string& shown, const IPaddress& from, bool sent) {
    shown += "Recieved update request from client... redirecting and sending information...\nip: ";
    append_number(shown, static_cast<int>(from.host));  // the raw value, as a signed number
    shown += "\nhost: ";
    append_number(shown, from.port);
    shown += "\nSetting packet vector destination info...\n";
    for (int i = 0; i < wire::kPacketsPerVector; ++i) {
        shown += "Packet[";
        append_number(shown, i);
        shown += "]: setting host->setting port->setting length->";
        append_number(shown, wire::kAnswerLength);
        shown += " setting channel...\n";
    }
    shown += "Sending...\n";
    if (!sent) {
        shown += "Error sending packet!\n";
    }
    shown += "Update request complete.\n";
}

}  // namespace

UDP_Server_Service::UDP_Server_Service(int listen_port, std::string dest_ip, int dest_port,
                                       Peer_Settings settings)
    : dest_ip(std::move(dest_ip)),
      dest_port(dest_port),
      assembly_(settings.window, kMostSenders),
      settings_(std::move(settings)),
      sink_(print_to_stdout) {
    prctl(PR_SET_TIMERSLACK, kTimerSlackNanos);
    std::memcpy(answer_keyword_.data(), wire::kKeywordAnswer, std::strlen(wire::kKeywordAnswer));

    if (listen_port != 0) {
        progress("Accepting connections on port: " + std::to_string(listen_port) + "\n");
    } else {
        progress("\nNo port given...\nDefaulting to port 4555...\n");
        listen_port = wire::kDefaultListenPort;
    }
    listen_port_ = listen_port;

    progress("Initializing SDL_net (recieve)...");
    SDL_ClearError();
    if (SDLNet_Init() < 0) {
        fail("FAILED!\nSDLNet_Init: %s\n", "the library could not start");
    }
    progress("Success!\n");

    progress("Opening port " + std::to_string(listen_port) + " for incoming connections...");
    if (!wire::port_in_range(listen_port)) {
        SDL_ClearError();  // a port is 16 bits: a larger number would be wrapped
        fail("FAILED!\nSDLNet_UDP_Open(port): %s\n", "the port is outside 0 to 65535");
    }
    // Arrival stamps on before the port is bound, so that no datagram is
    // ever stamped with the time it was read instead.
    const net::Arrival_Stamps stamps;
    errno = 0;
    recv_sock = SDLNet_UDP_Open(static_cast<Uint16>(listen_port));
    if (recv_sock == nullptr) {
        fail("FAILED!\nSDLNet_UDP_Open(port): %s\n",
             net::open_failure_reason("the socket could not be opened"));
    }
    // Every receive reads the descriptor SDL_net opened, for the kernel's
    // record of each datagram.
    recv_fd_ = net::udp_descriptor(recv_sock);
    if (recv_fd_ < 0) {
        fail("FAILED!\nSDLNet_UDP_Open(port): %s\n", net::unwaitable_reason(recv_fd_, errno));
    }
    progress("Success!\n");
    net::enlarge_receive_buffer(recv_fd_, kReceiveBufferBytes);
    receive_buffer_ = net::receive_buffer(recv_fd_);
    net::Batch_Receiver::record_arrivals(recv_fd_);

    progress("Opening random communication socket for sending...");
    SDL_ClearError();
    errno = 0;
    send_sock = SDLNet_UDP_Open(0);
    if (send_sock == nullptr) {
        fail("FAILED!\nSDLNet_UDP_Open(0): %s\n",
             net::open_failure_reason("the socket could not be opened"));
    }
    progress("Success!\n");

    resolve_dest_address();

    progress("Allocating memory for sending packets...");
    out_packets = SDLNet_AllocPacketV(wire::kPacketsPerVector, wire::kPacketSize);
    if (out_packets == nullptr) {
        fail("FAILED!\nSDLNet_AllocPacket(512): %s\n", "out of memory");
    }
    progress("Success!\n");
    clear_packets(out_packets);
    for (int i = 0; i < wire::kPacketsPerVector; ++i) {
        out_buffers_.at(i) = out_packets[i]->data;
    }

    progress("Allocating memory for recieving packets...");
    in_packets = SDLNet_AllocPacketV(wire::kPacketsPerVector, wire::kPacketSize);
    if (in_packets == nullptr) {
        fail("FAILED!\nSDLNet_AllocPacket(512): %s\n", "out of memory");
    }
    progress("Success!\n\n");
    clear_packets(in_packets);
    arrivals_ = SDLNet_AllocPacketV(kBatch, wire::kPacketSize);
    if (arrivals_ == nullptr) {
        throw std::bad_alloc();
    }
    receiver_.emplace(arrivals_, kBatch, wire::kPacketSize);
}

UDP_Server_Service::~UDP_Server_Service() {
    SDLNet_FreePacketV(arrivals_);
    SDLNet_UDP_Close(send_sock);
    SDLNet_UDP_Close(recv_sock);
    progress("Shutting down sending client...\n");
    progress("Freeing allocated memory for outbound packets...");
    // After an answer the outbound packets point into the inbound buffers and
    // at answer_keyword_: give them their own buffers back before freeing.
    for (int i = 0; i < wire::kPacketsPerVector; ++i) {
        out_packets[i]->data = out_buffers_.at(i);
    }
    SDLNet_FreePacketV(out_packets);
    progress("Done!\nShutting down recieving client...\n");
    progress("Freeing allocated memory for inbound packets...");
    SDLNet_FreePacketV(in_packets);
    progress("Done!\nExiting SDLNet and terminating server...");
    SDLNet_Quit();
    progress("Done!\n");
}

void UDP_Server_Service::progress(const std::string& text) const {
    if (!settings_.quiet) {
        std::fputs(text.c_str(), stdout);
    }
}

void UDP_Server_Service::resolve_dest_address() {
    progress("Resolving destination address...");
    if (!wire::port_in_range(dest_port)) {
        std::fflush(stdout);
        std::fprintf(stderr, "FAILED!\nSDLNet_ResolveHost(%s %d): the port is outside 0 to 65535\n",
                     dest_ip.c_str(), dest_port);
        std::exit(1);
    }
    if (resolve_destination(dest_ip.c_str(), true) == 0) {
        std::exit(1);
    }
}

int UDP_Server_Service::resolve_dest_address(const char* ip) {
    dest_ip = ip;
    std::printf("Resolving new destination IP @ %s on port %d...", dest_ip.c_str(), dest_port);
    return resolve_destination(dest_ip.c_str(), false);
}

int UDP_Server_Service::resolve_dest_address(int port) {
    if (!wire::port_in_range(port)) {
        std::printf("Port %d is outside 0 to 65535: the destination stays %s on port %d.\n", port,
                    dest_ip.c_str(), dest_port);
        return -1;
    }
    dest_port = port;
    std::printf("Setting destination port %d @ %s...", dest_port, dest_ip.c_str());
    return resolve_destination(dest_ip.c_str(), false);
}

void UDP_Server_Service::refuse_port(std::string_view text) const {
    std::printf("Port \"%s\" is not a whole decimal number: the destination stays %s on port %d.\n",
                wire::escape_controls(text).c_str(), dest_ip.c_str(), dest_port);
}

int UDP_Server_Service::resolve_destination(const char* host, bool starting) {
    SDL_ClearError();
    if (SDLNet_ResolveHost(&dest_addr, host, static_cast<Uint16>(dest_port)) != 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "FAILED!\nSDLNet_ResolveHost(%s %d): %s\n", dest_ip.c_str(), dest_port,
                     net::library_error(net::kResolveFallback).c_str());
        return 0;
    }
    if (starting) {
        progress("Success!\n");
    } else {
        std::puts("Success!");
    }
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
    return serve(true);
}

int UDP_Server_Service::serve(bool readable) {
    const Clock::time_point now = Clock::now();
    // Reading is for what has arrived, and for giving up vectors whose
    // window has passed: only after a read is it known that nothing of
    // theirs still waits. An answer's pause ending needs neither.
    const auto deadline = assembly_.next_deadline();
    if (readable || (deadline && *deadline <= now)) {
        take_arrivals(now);
    }
    const int result = handle_ready();
    tell_refused(Shown::kNotice);
    return result;
}

std::optional<UDP_Server_Service::Clock::time_point> UDP_Server_Service::next_wake() const {
    std::optional<Clock::time_point> wake = assembly_.next_deadline();
    const auto sooner = [&wake](Clock::time_point when) {
        wake = wake ? std::min(*wake, when) : when;
    };
    if (assembly_.has_ready()) {
        sooner(due(assembly_.front()));
    }
    if (refused_untold_ > 0) {
        sooner(next_refusal_line_);
    }
    return wake;
}

int UDP_Server_Service::wait_timeout_ms() const {
    const auto wake = next_wake();
    if (!wake) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

void UDP_Server_Service::take_arrivals(Clock::time_point now) {
    bool drained = false;
    for (int read = 0; read < kMostPerTurn && assembly_.ready_count() < kMostReady;) {
        const int count = receiver_->receive(recv_fd_);
        if (count > 0) {
            const Clock::time_point read_at = Clock::now();
            timespec real_now{};
            clock_gettime(CLOCK_REALTIME, &real_now);
            for (int i = 0; i < count; ++i) {
                const net::Received& got = receiver_->at(i);
                // What the kernel dropped was lost whoever sent it.
                read_since_drained_ += 2 * got.size + kDatagramOverhead;
                if (!net::allowed(settings_.allow, got.from)) {
                    // Neither shown nor obeyed, and no sender's vector.
                    assembly_.note_drops(got.drops);
                    ++refused_untold_;
                    ++counters_.datagrams_refused;
                    last_refused_ = got.from;
                    continue;
                }
                wire::Arrival arrival;
                arrival.from = got.from;
                arrival.bytes = receiver_->bytes(i);
                arrival.len = got.len;
                arrival.drops = got.drops;
                arrival.at = got.stamped ? steady_time_of(got.arrived, read_at, real_now) : read_at;
                // The queue is in arrival order: a stamp never goes back.
                arrival.at = std::max(arrival.at, last_arrival_);
                last_arrival_ = arrival.at;
                assembly_.add(arrival);
            }
            read += count;
        }
        if (count < receiver_->capacity()) {
            drained = true;  // or an error: nothing more can be read now
            break;
        }
    }
    if (drained) {
        look_for_drops();
    }
    // Drained, nothing that arrived before `now` is still to come; otherwise
    // only what arrived up to the last datagram read is known.
    assembly_.expire(drained ? now : last_arrival_);
}

void UDP_Server_Service::look_for_drops() {
    // Datagrams carry the drop count as of their queuing, so a loss after
    // the last one read shows only in the socket's own count. The kernel
    // drops only when its queue is full, and everything queued since the
    // last time it ran empty has just been read: unless that much came,
    // nothing can have been dropped, and there is no need to ask.
    if (read_since_drained_ * 2 < static_cast<std::size_t>(receive_buffer_)) {
        read_since_drained_ = 0;
        return;
    }
    read_since_drained_ = 0;
    if (const auto drops = net::kernel_drops(recv_fd_)) {
        assembly_.note_drops(*drops);
    }
}

UDP_Server_Service::Clock::time_point UDP_Server_Service::due(const wire::Assembled& next) const {
    if (next.kind == wire::Assembled::Kind::kVector && is_update(*next.vector)) {
        return next.vector->ended + kAnswerPause;
    }
    return {};  // long past: at once
}

int UDP_Server_Service::handle_ready() {
    tell_drops(Shown::kNotice);  // a drop line that found no room before
    while (assembly_.has_ready()) {
        const wire::Assembled next = assembly_.front();
        if (next.kind == wire::Assembled::Kind::kDrops) {
            drops_untold_ += next.drops;
            counters_.datagrams_dropped += next.drops;
            drops_counted_ += next.drops;
            assembly_.pop();
            tell_drops(Shown::kNotice);
            continue;
        }
        // Vectors are handled in the order they came together: one waiting
        // for its answer's pause holds up the ones after it.
        if (due(next) > Clock::now()) {
            return 1;
        }
        const int result = handle_vector(*next.vector);
        assembly_.pop();
        if (result == 0) {
            return 0;
        }
    }
    return 1;
}

void UDP_Server_Service::finish(bool read_waiting) {
    if (read_waiting) {
        take_arrivals(Clock::now());
    }
    assembly_.give_up_all();
    // The drops since the last datagram read are the last thing to tell.
    if (const auto drops = net::kernel_drops(recv_fd_)) {
        assembly_.note_drops(*drops);
    }
    while (assembly_.has_ready()) {
        const Clock::time_point when = due(assembly_.front());
        if (when > Clock::now()) {
            sleep_until(when);  // an answer's pause: the program is ending anyway
        }
        handle_ready();  // a "quit" among them is shown; the program stops already
    }
    tell_drops(Shown::kKept);
    tell_refused(Shown::kKept);
}

Peer_Counters UDP_Server_Service::counters() const {
    Peer_Counters now = counters_;
    if (const auto drops = net::kernel_drops(recv_fd_)) {
        now.datagrams_dropped += static_cast<std::uint32_t>(*drops - drops_counted_);
    }
    return now;
}

void UDP_Server_Service::tell_drops(Shown what) {
    if (drops_untold_ == 0) {
        return;
    }
    std::string line = std::to_string(drops_untold_);
    line += drops_untold_ == 1 ? " datagram" : " datagrams";
    line += " dropped by the system before they could be read (the receive queue was full)\n";
    if (sink_(line, what)) {
        drops_untold_ = 0;
    }
}

void UDP_Server_Service::tell_refused(Shown what) {
    const Clock::time_point now = Clock::now();
    if (refused_untold_ == 0 || (what != Shown::kKept && now < next_refusal_line_)) {
        return;
    }
    std::string line = std::to_string(refused_untold_);
    line += refused_untold_ == 1 ? " datagram" : " datagrams";
    line += " refused from hosts not allowed (last from ";
    line += net::endpoint_text(last_refused_);
    line += ")\n";
    if (sink_(line, what)) {
        refused_untold_ = 0;
        next_refusal_line_ = now + kRefusalLineEvery;
    }
}

int UDP_Server_Service::handle_vector(const wire::AssembledVector& vector) {
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
    ++counters_.vectors_received;
    if (!whole) {
        ++counters_.incomplete_vectors;
    }

    // A keyword is obeyed only from a vector whose three datagrams arrived.
    const std::string_view keyword = text_of(in_packets[wire::kSlotKeyword]);
    const bool update = whole && keyword == wire::kKeywordUpdate;
    const bool quit = whole && keyword == wire::kKeywordQuit;
    // The answer goes first; its printout is made once it has gone.
    const bool sent = update && send_answer();
    std::string& shown = printout_;  // its room is kept from one vector to the next
    shown.clear();
    wire::append_printout(shown, text_of(in_packets[wire::kSlotAddress]),
                          text_of(in_packets[wire::kSlotPort]), keyword);
    if (settings_.verbose) {
        append_origin(shown, vector.from, vector.ended);
    }
    if (quit) {
        shown += "\nServer recieved \"quit\" signal from client!\n";
        sink_(shown, Shown::kKept);  // the reason the program ends is always shown
        return 0;
    }
    if (update && !settings_.quiet) {
        append_answer_lines(shown, vector.from, sent);
    }
    sink_(shown, Shown::kVector);
    return 1;
}

bool UDP_Server_Service::send_answer() {
    // The answer echoes the received address and port texts in place.
    out_packets[0]->data = in_packets[wire::kSlotAddress]->data;
    out_packets[1]->data = in_packets[wire::kSlotPort]->data;
    out_packets[2]->data = answer_keyword_.data();
    IPaddress endpoint = settings_.answer_to.endpoint;
    if (settings_.answer_to.sender) {
        endpoint.host = in_packets[wire::kSlotAddress]->address.host;
    }
    for (int i = 0; i < wire::kPacketsPerVector; ++i) {
        out_packets[i]->address = endpoint;
        out_packets[i]->len = wire::kAnswerLength;
        out_packets[i]->channel = -1;
    }
    outbound_addressed_ = true;
    // A vector send counts the packets that went out; fewer than all is a failure.
    if (SDLNet_UDP_SendV(send_sock, out_packets, wire::kPacketsPerVector) <
        wire::kPacketsPerVector) {
        return false;
    }
    ++counters_.updates_answered;
    return true;
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
