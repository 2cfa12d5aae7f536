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
      destination_(std::move(dest_ip), dest_port, settings_.family, events),
      keys_(settings_.key ? std::make_unique<net::Vector_Keys>(settings_.key, settings_.max_skew_s)
                          : nullptr),
      core_(settings_.answer_to, sockets_, events, keys_.get()),
      operator_send_(sockets_, destination_, listen_port_, events, keys_.get()) {
    sockets_.start_library();
    sockets_.open_receive(listen_port_);
    sockets_.open_send();
    resolve_dest_address();
    sockets_.allocate();
    receive_.emplace(sockets_, settings_.window, settings_.allow, events_);
}

UDP_Server_Service::~UDP_Server_Service() {
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
    const auto handled = core_.handle(receive_->assembly(), Clock::now());
    receive_->tell_counts(Clock::now(), false);
    core_.tell_counts(Clock::now(), false);
    return handled == net::Peer_Core::Handled::kPeerQuit ? 0 : 1;
}

std::optional<UDP_Server_Service::Clock::time_point> UDP_Server_Service::next_wake() const {
    std::optional<Clock::time_point> wake;
    for (const auto& when : {receive_->next_deadline(), core_.next_due(receive_->assembly()),
                             receive_->next_count_line(), core_.next_count_line()}) {
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
}

net::Peer_Counters UDP_Server_Service::counters() const {
    net::Peer_Counters now = core_.counters();
    now.vectors_sent = operator_send_.sent();
    now.datagrams_refused = receive_->refused();
    now.datagrams_cut = receive_->cut();
    if (const auto drops = receive_->drops_since_start()) {
        now.datagrams_dropped = *drops;
    }
    return now;
}

net::Peer_Counters UDP_Server_Service::counters_told() const {
    net::Peer_Counters told = core_.counters();
    told.vectors_sent = operator_send_.sent();
    told.datagrams_refused = receive_->refused();
    told.datagrams_cut = receive_->cut();
    told.datagrams_dropped = receive_->drops_seen();
    return told;
}

void UDP_Server_Service::send_update(char* data, UDPpacket** source) {
    operator_send_.send_update(data, source, settings_.update_host, settings_.update_port);
}

void UDP_Server_Service::reply() {}
