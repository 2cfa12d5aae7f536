#include "receive_path.h"

#include <time.h>

#include <algorithm>

namespace net {

namespace {

// Senders whose vector is incomplete, at most: one more gives up the oldest.
// Each holds up to three packets' bytes, about 1.6 MiB for all of them.
constexpr std::size_t kMostSenders = 1024;
// What a datagram may take of the receive queue beyond twice its bytes.
constexpr std::size_t kDatagramOverhead = 4096;
// Datagrams read at most in one turn of the loop, so that a flood never
// keeps the keyboard waiting for long.
constexpr int kMostPerTurn = 1024;
// Vectors and drop counts that may wait to be handled: past this the socket
// is not read until they have been, and the kernel's queue holds the rest.
constexpr std::size_t kMostReady = 1024;

// The steady clock's time of a kernel time stamp (the real-time clock):
// both clocks are read together, and the stamp is taken as that far back.
wire::Clock::time_point steady_time_of(const timespec& stamp, wire::Clock::time_point now,
                                       const timespec& real_now) {
    const auto ago = std::chrono::seconds(real_now.tv_sec - stamp.tv_sec) +
                     std::chrono::nanoseconds(real_now.tv_nsec - stamp.tv_nsec);
    // A real-time clock set back would put arrivals in the future.
    return now - std::max<wire::Clock::duration>(ago, wire::Clock::duration::zero());
}

// Whether a time stamp is later than `cutoff`.
bool after(const timespec& arrived, const timespec& cutoff) {
    return arrived.tv_sec > cutoff.tv_sec ||
           (arrived.tv_sec == cutoff.tv_sec && arrived.tv_nsec > cutoff.tv_nsec);
}

}  // namespace

Receive_Path::Receive_Path(Datagram_Source& source, Clock::duration window,
                           std::vector<Network> allow, Peer_Events& events)
    : source_(source), allow_(std::move(allow)), events_(events), assembly_(window, kMostSenders) {}

Receive_Path::Read Receive_Path::take(std::uint32_t readable, Clock::time_point now,
                                      const timespec* cutoff) {
    // Reading is for what has arrived, and for giving up vectors whose
    // window has passed: only after a read is it known that nothing of
    // theirs still waits.
    const auto deadline = assembly_.next_deadline();
    const bool window_passed = deadline && *deadline <= now;
    if (readable == 0 && !window_passed) {
        return Read::kBounded;
    }
    if (window_passed) {
        readable = ~std::uint32_t{0};
    }
    bool cut_off = false;
    bool all_drained = true;
    // Up to when each socket's arrivals are known: all of them (`now`) once
    // it has run empty.
    Clock::time_point known = now;
    for (std::size_t socket = 0; socket < source_.sockets(); ++socket) {
        const bool drained =
            (readable & (1U << socket)) == 0 || read_socket(socket, cutoff, cut_off);
        all_drained = all_drained && drained;
        if (!drained) {
            known = std::min(known, last_arrival_.at(socket));
        }
    }
    assembly_.expire(known);
    return cut_off ? Read::kCutOff : all_drained ? Read::kDrained : Read::kBounded;
}

bool Receive_Path::read_socket(std::size_t socket, const timespec* cutoff, bool& cut_off) {
    bool drained = false;
    for (int read = 0; read < kMostPerTurn && assembly_.ready_count() < kMostReady && !cut_off;) {
        const int count = source_.receive(socket);
        if (count > 0) {
            const Clock::time_point read_at = Clock::now();
            timespec real_now{};
            clock_gettime(CLOCK_REALTIME, &real_now);
            for (int i = 0; i < count && !cut_off; ++i) {
                const Received& got = source_.at(i);
                // What the kernel dropped was lost whoever sent it.
                read_since_drained_.at(socket) += 2 * got.size + kDatagramOverhead;
                // The queue is in arrival order: this and all after it came
                // after the cutoff.
                if (cutoff != nullptr && got.stamped && after(got.arrived, *cutoff)) {
                    cut_off = true;
                    break;
                }
                take_one(socket, got, read_at, real_now);
            }
            read += count;
        }
        if (count < source_.batch()) {
            drained = true;  // or an error: nothing more can be read now
            break;
        }
    }
    if (drained) {
        look_for_drops(socket);
    }
    return drained || cut_off;
}

void Receive_Path::take_one(std::size_t socket, const Received& got, Clock::time_point read_at,
                            const timespec& real_now) {
    if (!allowed(allow_, got.from)) {
        // Neither shown nor obeyed, and no sender's vector.
        assembly_.note_drops(socket, got.drops, read_at);
        refused_.add(got.from);
        return;
    }
    if (got.size > got.len) {
        cut_.add(got.from, got.size);  // shown as it was kept, and told
    }
    wire::Arrival arrival;
    arrival.from = got.from;
    arrival.bytes = got.bytes;
    arrival.len = got.len;
    arrival.size = got.size;
    arrival.socket = socket;
    arrival.drops = got.drops;
    arrival.at = got.stamped ? steady_time_of(got.arrived, read_at, real_now) : read_at;
    arrival.real = got.stamped ? got.arrived : real_now;
    // A socket's queue is in arrival order: a stamp never goes back.
    Clock::time_point& last = last_arrival_.at(socket);
    arrival.at = std::max(arrival.at, last);
    last = arrival.at;
    if (!assembly_.add(arrival)) {
        set_aside_.add(got.from);  // after a loss, too soon to know its place
    }
}

std::uint64_t Receive_Path::count_before(const timespec& cutoff) {
    std::uint64_t counted = 0;
    for (std::size_t socket = 0; socket < source_.sockets(); ++socket) {
        for (bool more = true; more;) {
            const int count = source_.receive(socket);
            for (int i = 0; i < count && more; ++i) {
                const Received& got = source_.at(i);
                more = !(got.stamped && after(got.arrived, cutoff));
                counted += more ? 1 : 0;
            }
            more = more && count == source_.batch();
        }
    }
    return counted;
}

void Receive_Path::look_for_drops(std::size_t socket) {
    // Datagrams carry the drop count as of their queuing, so a loss after
    // the last one read shows only in the socket's own count. The kernel
    // drops only when its queue is full, and everything queued since the
    // last time it ran empty has just been read: unless that much came,
    // nothing can have been dropped, and there is no need to ask.
    std::size_t& read = read_since_drained_.at(socket);
    const bool could_have_filled =
        read * 2 >= static_cast<std::size_t>(source_.queue_bytes(socket));
    read = 0;
    if (!could_have_filled) {
        return;
    }
    if (const auto drops = source_.drops(socket)) {
        assembly_.note_drops(socket, *drops, Clock::now());
    }
}

void Receive_Path::end() {
    assembly_.give_up_all();
    // The drops since the last datagram read are the last thing to tell.
    for (std::size_t socket = 0; socket < source_.sockets(); ++socket) {
        if (const auto drops = source_.drops(socket)) {
            assembly_.note_drops(socket, *drops, Clock::now());
        }
    }
}

std::uint64_t Receive_Path::drops_seen() const {
    std::uint64_t total = 0;
    for (std::size_t socket = 0; socket < source_.sockets(); ++socket) {
        total += assembly_.drops_seen(socket);
    }
    return total;
}

std::optional<std::uint64_t> Receive_Path::drops_since_start() const {
    // Sockets of the path's own: their counts started at 0.
    std::optional<std::uint64_t> total;
    for (std::size_t socket = 0; socket < source_.sockets(); ++socket) {
        if (const auto drops = source_.drops(socket)) {
            total = total.value_or(0) + *drops;
        }
    }
    return total;
}

void Receive_Path::tell_counts(Clock::time_point now, bool at_end) {
    if (refused_.due(now, at_end)) {
        const Endpoint last = refused_.last_from();
        events_.refused(refused_.take(now), last);
    }
    if (cut_.due(now, at_end)) {
        const Endpoint last = cut_.last_from();
        const std::size_t size = cut_.last_size();
        events_.cut(cut_.take(now), last, size);
    }
    if (set_aside_.due(now, at_end)) {
        const Endpoint last = set_aside_.last_from();
        events_.set_aside(set_aside_.take(now), last);
    }
}

std::optional<Receive_Path::Clock::time_point> Receive_Path::next_count_line() const {
    std::optional<Clock::time_point> next;
    for (const Told_Count* count : {&refused_, &cut_, &set_aside_}) {
        if (const auto when = count->next_line()) {
            next = next ? std::min(*next, *when) : *when;
        }
    }
    return next;
}

}  // namespace net
