#include "arrival_stamps.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

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

}  // namespace net
