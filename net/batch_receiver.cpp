#include "batch_receiver.h"

#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace net {

namespace {

constexpr int kStampTries = 200;
constexpr timespec kStampRetry{0, 1000000};  // 1 ms

sockaddr_in loopback_any_port() {
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return self;
}

}  // namespace

Arrival_Stamps::Arrival_Stamps() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in self = loopback_any_port();
    socklen_t len = sizeof self;
    const int on = 1;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&self), &len) != 0 ||
        setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) {
        return;
    }
    for (int i = 0; i < kStampTries && !on_; ++i) {
        on_ = stamped_on_arrival();
        if (!on_) {
            nanosleep(&kStampRetry, nullptr);
        }
    }
}

Arrival_Stamps::~Arrival_Stamps() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool Arrival_Stamps::stamped_on_arrival() const {
    sockaddr_in self{};
    socklen_t len = sizeof self;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&self), &len);
    // On loopback the datagram is queued before sendto() returns.
    if (sendto(fd_, "s", 1, 0, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 1) {
        return false;
    }
    timespec before_read{};
    clock_gettime(CLOCK_REALTIME, &before_read);
    char byte = 0;
    iovec part{&byte, 1};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(timespec))] = {};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    if (recvmsg(fd_, &header, MSG_DONTWAIT) != 1) {
        return false;
    }
    const cmsghdr* c = CMSG_FIRSTHDR(&header);
    if (c == nullptr || c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) {
        return false;
    }
    timespec stamp{};
    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
    return stamp.tv_sec < before_read.tv_sec ||
           (stamp.tv_sec == before_read.tv_sec && stamp.tv_nsec < before_read.tv_nsec);
}

Batch_Receiver::Batch_Receiver(UDPpacket** packets, int count, int size)
    : packets_(packets),
      size_(static_cast<std::size_t>(size)),
      messages_(static_cast<std::size_t>(count)),
      parts_(static_cast<std::size_t>(count)),
      sources_(static_cast<std::size_t>(count)),
      controls_(static_cast<std::size_t>(count)),
      received_(static_cast<std::size_t>(count)) {
    for (std::size_t i = 0; i < messages_.size(); ++i) {
        parts_[i] = {packets[i]->data, static_cast<std::size_t>(size)};
        msghdr& header = messages_[i].msg_hdr;
        header.msg_name = &sources_[i];
        header.msg_iov = &parts_[i];
        header.msg_iovlen = 1;
        header.msg_control = controls_[i].bytes;
    }
    reset(messages_.size());
}

void Batch_Receiver::record_arrivals(int fd) {
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

void Batch_Receiver::reset(std::size_t count) {
    // The kernel writes the lengths back into the headers it filled (and
    // the flags, which it only ever writes).
    for (std::size_t i = 0; i < count; ++i) {
        msghdr& header = messages_[i].msg_hdr;
        header.msg_namelen = sizeof(sockaddr_storage);
        header.msg_controllen = kControlBytes;
    }
}

int Batch_Receiver::receive(int fd) {
    reset(reset_on_next_);  // only the headers the last call filled changed
    int count = 0;
    // MSG_TRUNC: each length is the datagram's own, also when it was cut.
    while ((count = recvmmsg(fd, messages_.data(), static_cast<unsigned>(messages_.size()),
                             MSG_DONTWAIT | MSG_TRUNC, nullptr)) < 0 &&
           errno == EINTR) {
    }
    // A failed call may have written into the first header.
    reset_on_next_ = count > 0 ? static_cast<std::size_t>(count) : 1;
    if (count < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
    for (int i = 0; i < count; ++i) {
        const auto at = static_cast<std::size_t>(i);
        msghdr& header = messages_[at].msg_hdr;
        Received& got = received_[at];
        got = Received{};
        got.size = messages_[at].msg_len;
        got.len = std::min(got.size, size_);
        if (header.msg_namelen >= sizeof(sockaddr_in) && sources_[at].ss_family == AF_INET) {
            sockaddr_in source{};
            std::memcpy(&source, &sources_[at], sizeof source);
            got.from = IPaddress{source.sin_addr.s_addr, source.sin_port};
        }
        // No drop count is given while the socket has dropped nothing.
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
            if (c->cmsg_level != SOL_SOCKET) {
                continue;
            }
            if (c->cmsg_type == SO_RXQ_OVFL && c->cmsg_len >= CMSG_LEN(sizeof got.drops)) {
                std::memcpy(&got.drops, CMSG_DATA(c), sizeof got.drops);
            } else if (c->cmsg_type == SCM_TIMESTAMPNS &&
                       c->cmsg_len >= CMSG_LEN(sizeof got.arrived)) {
                std::memcpy(&got.arrived, CMSG_DATA(c), sizeof got.arrived);
                got.stamped = true;
            }
        }
    }
    return count;
}

}  // namespace net
