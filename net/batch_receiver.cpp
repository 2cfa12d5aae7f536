#include "batch_receiver.h"

#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace net {

namespace {

// The address a datagram was sent to, from its IP_PKTINFO or IPV6_PKTINFO
// message; none from another message.
Endpoint destination(const cmsghdr* c) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO &&
        c->cmsg_len >= CMSG_LEN(sizeof(in_pktinfo))) {
        in_pktinfo info{};
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        return Endpoint::ipv4(info.ipi_addr.s_addr, 0);
    }
    if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO &&
        c->cmsg_len >= CMSG_LEN(sizeof(in6_pktinfo))) {
        in6_pktinfo info{};
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = info.ipi6_addr;
        return Endpoint::from(reinterpret_cast<const sockaddr*>(&address), sizeof address)
            .unmapped();
    }
    return {};
}

}  // namespace

Batch_Receiver::Batch_Receiver(const std::vector<unsigned char*>& buffers, int size)
    : size_(static_cast<std::size_t>(size)),
      buffers_(buffers),
      messages_(buffers.size()),
      parts_(buffers.size()),
      sources_(buffers.size()),
      controls_(buffers.size()),
      received_(buffers.size()) {
    for (std::size_t i = 0; i < messages_.size(); ++i) {
        parts_[i] = {buffers_[i], size_};
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
        got.bytes = buffers_[at];
        got.size = messages_[at].msg_len;
        got.len = std::min(got.size, size_);
        got.from =
            Endpoint::from(reinterpret_cast<const sockaddr*>(&sources_[at]), header.msg_namelen)
                .unmapped();
        // No drop count is given while the socket has dropped nothing.
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
            if (c->cmsg_level != SOL_SOCKET) {
                got.to = destination(c);
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
