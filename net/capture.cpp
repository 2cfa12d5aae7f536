#include "capture.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "ip_packet.h"

namespace net {

namespace {

// While datagrams keep coming, the writer takes them in turns this far
// apart: one wake-up for many datagrams. Idle, it sleeps until there is work.
constexpr auto kTurn = std::chrono::milliseconds(20);
// A file with no room is looked at again this often, to see whether the
// capture was given up meanwhile.
constexpr int kRoomCheckMs = 50;

bool unspecified(const Endpoint& endpoint) {
    const std::string_view bytes = endpoint.address_bytes();
    return std::all_of(bytes.begin(), bytes.end(), [](char byte) { return byte == 0; });
}

}  // namespace

std::shared_ptr<Capture> Capture::open(const std::string& path, std::string& call,
                                       std::string& reason) {
    pcap_t* dead = pcap_open_dead_with_tstamp_precision(DLT_RAW, 65535, PCAP_TSTAMP_PRECISION_NANO);
    if (dead == nullptr) {
        call = "pcap_open_dead";
        reason = "out of memory";
        return nullptr;
    }
    std::shared_ptr<Capture> capture(new Capture(path, dead));
    // A FIFO waits here for its reader, as for any writer; once open, no
    // write waits without an end.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0 || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        call = "open(" + path + ")";
        reason = std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return nullptr;
    }
    capture->sink_ = {fd, &capture->abandoned_};
    FILE* file = fopencookie(&capture->sink_, "w",
                             {nullptr, &Capture::write_file, nullptr, &Capture::close_file});
    if (file != nullptr) {
        capture->dumper_ = pcap_dump_fopen(dead, file);
    }
    if (capture->dumper_ == nullptr) {
        call = "pcap_dump_fopen(" + path + ")";
        reason = file == nullptr ? std::strerror(errno) : pcap_geterr(dead);
        if (file != nullptr) {
            std::fclose(file);
        } else {
            ::close(fd);
        }
        return nullptr;
    }
    // The writer takes no signal: they are the main thread's, which waits
    // for them.
    sigset_t all;
    sigset_t was;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &was);
    // The writer keeps the capture alive: one left blocked on its file at
    // the end goes on without its owner.
    capture->writer_ = std::thread([self = capture->shared_from_this()] { self->write_all(); });
    pthread_sigmask(SIG_SETMASK, &was, nullptr);
    return capture;
}

Capture::Capture(std::string path, pcap_t* dead)
    : path_(std::move(path)), dead_(dead), slots_(new Slot[kRoom]) {}

ssize_t Capture::write_file(void* sink, const char* bytes, std::size_t size) {
    File_Sink& file = *static_cast<File_Sink*>(sink);
    std::size_t done = 0;
    while (done < size) {
        if (file.abandoned->load()) {
            errno = ECANCELED;
            break;  // given up: nothing more is written, not even at exit
        }
        const ssize_t wrote = ::write(file.fd, bytes + done, size - done);
        if (wrote > 0) {
            done += static_cast<std::size_t>(wrote);
        } else if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd room{file.fd, POLLOUT, 0};
            poll(&room, 1, kRoomCheckMs);  // and look again whether it was given up
        } else if (wrote < 0 && errno != EINTR) {
            if (file.error == 0) {
                file.error = errno;
            }
            break;
        }
    }
    return done > 0 || size == 0 ? static_cast<ssize_t>(done) : -1;
}

int Capture::close_file(void* sink) {
    return ::close(static_cast<const File_Sink*>(sink)->fd);
}

Capture::~Capture() {
    if (dumper_ != nullptr) {
        pcap_dump_close(dumper_);
    }
    if (dead_ != nullptr) {
        pcap_close(dead_);
    }
}

void Capture::add(const Endpoint& from, const Endpoint& to, std::string_view bytes,
                  std::size_t size, const timespec& when) {
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    // Given up, the writer may still be reading any slot.
    if (abandoned_.load(std::memory_order_relaxed) || failure() != 0 ||
        head - tail_.load(std::memory_order_acquire) >= kRoom) {
        not_captured_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    Slot& slot = slots_[head % kRoom];
    slot.when = when;
    slot.from = from;
    slot.to = to;
    slot.size = size;
    slot.len = std::min(bytes.size(), slot.bytes.size());
    std::memcpy(slot.bytes.data(), bytes.data(), slot.len);
    head_.store(head + 1, std::memory_order_seq_cst);
}

void Capture::hand_over() {
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    if (head == handed_) {
        return;
    }
    handed_ = head;
    // A writer in its turns needs no call; one asleep, or a room half
    // full, does.
    if (asleep_.load(std::memory_order_seq_cst) ||
        head - tail_.load(std::memory_order_acquire) >= kRoom / 2) {
        const std::lock_guard<std::mutex> lock(mutex_);
        asleep_.store(false, std::memory_order_seq_cst);
        work_.notify_one();
    }
}

bool Capture::finish(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!writer_.joinable()) {
        return done_;
    }
    ending_ = true;
    work_.notify_one();
    if (finished_.wait_for(lock, limit, [this] { return done_; })) {
        lock.unlock();
        writer_.join();
        return true;
    }
    // The file takes nothing more: what waits, and what its buffer holds,
    // is not known to be in it.
    abandoned_ = true;
    const std::uint64_t head = head_.load();
    not_captured_.fetch_add(head - tail_.load() + unflushed_, std::memory_order_relaxed);
    unflushed_ = 0;
    tail_.store(head);
    writer_.detach();
    return false;
}

void Capture::fail(int error) {
    int none = 0;
    failure_.compare_exchange_strong(none, error != 0 ? error : EIO, std::memory_order_release);
}

void Capture::flush() {
    {
        // The count is shared with a way out that gives the capture up.
        const std::lock_guard<std::mutex> lock(mutex_);
        if (unflushed_ == 0 || abandoned_ || failure() != 0) {
            return;
        }
    }
    // A write that failed while the stream filled its buffer is not told
    // by the flush: the error the sink kept is.
    const bool flushed = pcap_dump_flush(dumper_) == 0 && sink_.error == 0;
    const int error = sink_.error != 0 ? sink_.error : errno;
    const std::lock_guard<std::mutex> lock(mutex_);
    if (abandoned_) {
        return;  // counted already
    }
    if (flushed) {
        captured_.fetch_add(unflushed_, std::memory_order_relaxed);
    } else {
        fail(error);
        not_captured_.fetch_add(unflushed_, std::memory_order_relaxed);
    }
    unflushed_ = 0;
}

bool Capture::write(Slot& slot) {
    if (abandoned_) {
        return false;  // counted when it was given up
    }
    if (failure() != 0) {
        not_captured_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (slot.from.empty() || slot.to.empty()) {
        not_captured_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (unspecified(slot.from)) {
        slot.from = route_to(slot.to).with_port(slot.from.port());
    }
    if (unspecified(slot.to)) {
        slot.to = route_to(slot.from).with_port(slot.to.port());
    }
    packet_.clear();
    append_ip_udp(packet_, slot.from, slot.to,
                  std::string_view(reinterpret_cast<const char*>(slot.bytes.data()), slot.len),
                  slot.size, next_id_++);
    pcap_pkthdr header{};
    header.ts.tv_sec = slot.when.tv_sec;
    header.ts.tv_usec = slot.when.tv_nsec;  // nanoseconds, as the file says
    header.caplen = static_cast<bpf_u_int32>(packet_.size());
    header.len = static_cast<bpf_u_int32>(packet_.size() - slot.len + slot.size);
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &header,
              reinterpret_cast<const u_char*>(packet_.data()));
    const std::lock_guard<std::mutex> lock(mutex_);
    ++unflushed_;
    return true;
}

void Capture::write_all() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!abandoned_) {
        lock.unlock();
        bool wrote = false;
        std::uint64_t tail = tail_.load(std::memory_order_relaxed);
        for (std::uint64_t head = head_.load(std::memory_order_acquire); tail != head;
             head = head_.load(std::memory_order_acquire)) {
            for (; tail != head; ++tail) {
                wrote = write(slots_[tail % kRoom]) || wrote;
                tail_.store(tail + 1, std::memory_order_release);
            }
        }
        // What is in the file is whole when the writer rests: a reader
        // following it sees every datagram up to now.
        flush();
        lock.lock();
        if (abandoned_) {
            break;
        }
        if (ending_) {
            if (tail_.load() == head_.load()) {
                break;
            }
            continue;
        }
        if (wrote) {
            work_.wait_for(lock, kTurn);
            continue;
        }
        asleep_.store(true, std::memory_order_seq_cst);
        if (head_.load(std::memory_order_seq_cst) != tail_.load(std::memory_order_relaxed)) {
            asleep_.store(false, std::memory_order_seq_cst);
            continue;
        }
        work_.wait(lock, [this] { return !asleep_.load() || ending_; });
    }
    if (!abandoned_) {
        lock.unlock();
        pcap_dump_close(dumper_);  // flushed already: nothing is left to fail
        pcap_close(dead_);
        lock.lock();
        dumper_ = nullptr;
        dead_ = nullptr;
        done_ = true;
    }
    finished_.notify_all();
}

Endpoint Capture::route_to(const Endpoint& other) {
    const Endpoint key = other.with_port(0);
    if (const auto found = routes_.find(key); found != routes_.end()) {
        return found->second;
    }
    // A datagram socket connected to `other` has the source address a send
    // there would take; connecting sends nothing.
    Endpoint local =
        other.family() == AF_INET6 ? *Endpoint::numeric("::", 0) : *Endpoint::numeric("0.0.0.0", 0);
    const int fd = socket(other.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        if (connect(fd, other.with_port(9).address(), other.length()) == 0) {
            sockaddr_storage address{};
            socklen_t length = sizeof address;
            if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
                local = Endpoint::from(reinterpret_cast<const sockaddr*>(&address), length);
            }
        }
        close(fd);
    }
    routes_.emplace(key, local);
    return local;
}

}  // namespace net
