#include "udp_server_service.h"

#include <time.h>

#include <algorithm>
#include <cstdlib>

#include "socket_support.h"

namespace {

// The listen port: 0 means the default. Told either way.
int announce_listen_port(int port, net::Peer_Events& events) {
    events.step_begun(net::Step::kListenPort, port == 0 ? wire::kDefaultListenPort : port,
                      port == 0);
    return port == 0 ? wire::kDefaultListenPort : port;
}

// The capture file, opened as a start-up step; none when not asked for.
std::shared_ptr<net::Capture> open_capture(const std::string& path, net::Peer_Events& events) {
    if (path.empty()) {
        return nullptr;
    }
    events.step_begun(net::Step::kCaptureFile, 0, false);
    std::string call;
    std::string reason;
    std::shared_ptr<net::Capture> capture = net::Capture::open(path, call, reason);
    if (!capture) {
        events.step_failed(net::Step::kCaptureFile, call, reason);
        std::exit(1);
    }
    events.step_done(net::Step::kCaptureFile);
    return capture;
}

// Sleeps until `when`; a signal cannot stretch the sleep.
void sleep_until(wire::Clock::time_point when) {
    const timespec until = net::timespec_of(when.time_since_epoch());
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

}  // namespace

UDP_Server_Service::UDP_Server_Service(int listen_port, net::Peer_Events& events,
                                       std::string dest_ip, int dest_port, Peer_Settings settings)
    : events_(events),
      settings_(std::move(settings)),
      sockets_(settings_.family, events),
      listen_port_(announce_listen_port(listen_port, events)),
      capture_(open_capture(settings_.capture_file, events)),
      tap_(capture_ ? std::make_unique<net::Capture_Tap>(sockets_, sockets_, *capture_) : nullptr),
      destination_(std::move(dest_ip), dest_port, settings_.family, events),
      keys_(settings_.key ? std::make_unique<net::Vector_Keys>(settings_.key, settings_.max_skew_s)
                          : nullptr),
      core_(settings_.answer_to, sink(), events, keys_.get()),
      operator_send_(sink(), sockets_, destination_, listen_port_, events, keys_.get()) {
    sockets_.start_library();
    sockets_.open_receive(listen_port_);
    sockets_.open_send();
    resolve_dest_address();
    sockets_.allocate();
    if (tap_) {
        tap_->start();
    }
    receive_.emplace(source(), settings_.window, settings_.allow, events_);
}

net::Datagram_Source& UDP_Server_Service::source() {
    return tap_ ? static_cast<net::Datagram_Source&>(*tap_) : sockets_;
}

net::Datagram_Sink& UDP_Server_Service::sink() {
    return tap_ ? static_cast<net::Datagram_Sink&>(*tap_) : sockets_;
}

void UDP_Server_Service::tell_capture(Clock::time_point now, bool at_end) {
    if (!capture_) {
        return;
    }
    if (const int error = capture_->failure(); error != 0 && !capture_failure_told_) {
        capture_failure_told_ = true;
        events_.capture_failed(capture_->path(), error);
    }
    const std::uint64_t missed = capture_->not_captured();
    if (missed > not_captured_told_ && (at_end || now >= next_capture_line_)) {
        events_.not_captured(missed - not_captured_told_, capture_failure_told_);
        not_captured_told_ = missed;
        next_capture_line_ = now + net::Told_Count::kEvery;
    }
}

UDP_Server_Service::~UDP_Server_Service() {
    if (capture_) {
        capture_->finish(kWayOutLimit);
    }
    receive_.reset();
    sockets_.shut_down();
}

void UDP_Server_Service::resolve_dest_address() {
    if (!destination_.resolve_at_start()) {
        std::exit(1);
    }
}

int UDP_Server_Service::resolve_dest_address(const char* ip) {
    return destination_.set_ip(ip);
}

int UDP_Server_Service::resolve_dest_address(int port) {
    return destination_.set_port(port);
}

void UDP_Server_Service::show_dest_info() const {
    destination_.show();
}

int UDP_Server_Service::send_message(std::string_view word) {
    return operator_send_.send_word(word);
}

int UDP_Server_Service::recieve_data() {
    return serve(net::Receive_Path::kAll);
}

int UDP_Server_Service::serve(std::uint32_t readable) {
    receive_->take(readable, Clock::now());
    // One reading of the clock after the reads serves the rest of the turn.
    const Clock::time_point now = Clock::now();
    const auto handled = core_.handle(receive_->assembly(), now);
    receive_->tell_counts(now, false);
    core_.tell_counts(now, false);
    tell_capture(now, false);
    return handled == net::Peer_Core::Handled::kPeerQuit ? 0 : 1;
}

std::optional<UDP_Server_Service::Clock::time_point> UDP_Server_Service::next_wake() const {
    std::optional<Clock::time_point> wake;
    std::optional<Clock::time_point> capture_line;
    if (capture_ && capture_->not_captured() > not_captured_told_) {
        capture_line = next_capture_line_;
    }
    for (const auto& when : {receive_->next_deadline(), core_.next_due(receive_->assembly()),
                             receive_->next_count_line(), core_.next_count_line(), capture_line}) {
        if (when) {
            wake = wake ? std::min(*wake, *when) : *when;
        }
    }
    return wake;
}

void UDP_Server_Service::handle_all_ready() {
    while (receive_->assembly().has_ready()) {
        const auto due = core_.next_due(receive_->assembly());
        if (due && *due > Clock::now()) {
            sleep_until(*due);  // an answer's pause: the program is ending anyway
        }
        // A "quit" among them is told; the program stops already.
        core_.handle(receive_->assembly(), Clock::now());
    }
}

void UDP_Server_Service::finish(const std::function<void()>& between) {
    // What arrived before this moment waited when the way out began.
    timespec began{};
    clock_gettime(CLOCK_REALTIME, &began);
    const Clock::time_point limit = Clock::now() + kWayOutLimit;
    net::Receive_Path::Read read = net::Receive_Path::Read::kBounded;
    while (read == net::Receive_Path::Read::kBounded && Clock::now() < limit) {
        read = receive_->take(net::Receive_Path::kAll, Clock::now(), &began);
        handle_all_ready();
        if (between) {
            between();
        }
    }
    if (read == net::Receive_Path::Read::kBounded) {
        if (const std::uint64_t left = receive_->count_before(began)) {
            events_.left_unread(left);
        }
    }
    receive_->end();
    handle_all_ready();
    receive_->tell_counts(Clock::now(), true);
    core_.tell_counts(Clock::now(), true);
    if (capture_) {
        capture_->finish(kWayOutLimit);  // every datagram in the file, or counted as not
        tell_capture(Clock::now(), true);
    }
}

void UDP_Server_Service::add_capture_counts(net::Peer_Counters& counts) const {
    if (capture_) {
        counts.capturing = true;
        counts.datagrams_captured = capture_->captured();
        counts.datagrams_not_captured = capture_->not_captured();
    }
}

net::Peer_Counters UDP_Server_Service::counters() const {
    net::Peer_Counters now = core_.counters();
    now.vectors_sent = operator_send_.sent();
    now.datagrams_refused = receive_->refused();
    now.datagrams_cut = receive_->cut();
    now.datagrams_set_aside = receive_->set_aside();
    if (const auto drops = receive_->drops_since_start()) {
        now.datagrams_dropped = *drops;
    }
    add_capture_counts(now);
    return now;
}

net::Peer_Counters UDP_Server_Service::counters_told() const {
    net::Peer_Counters told = core_.counters();
    told.vectors_sent = operator_send_.sent();
    told.datagrams_refused = receive_->refused();
    told.datagrams_cut = receive_->cut();
    told.datagrams_set_aside = receive_->set_aside();
    told.datagrams_dropped = receive_->drops_seen();
    add_capture_counts(told);
    return told;
}

void UDP_Server_Service::send_update(char* data, UDPpacket** source) {
    operator_send_.send_update(data, source, settings_.update_host, settings_.update_port);
}

void UDP_Server_Service::reply() {}
