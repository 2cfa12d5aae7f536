#include "socket_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <string>

namespace net {

namespace {

bool bound_datagram_socket(int fd, Uint16 port) {
    sockaddr_in addr{};
    socklen_t addr_len = sizeof addr;
    int type = 0;
    socklen_t type_len = sizeof type;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &addr_len) == 0 &&
           addr.sin_family == AF_INET && addr.sin_port == port &&
           getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_len) == 0 && type == SOCK_DGRAM;
}

}  // namespace

int udp_descriptor(UDPsocket sock) {
    const IPaddress* local = SDLNet_UDP_GetPeerAddress(sock, -1);
    if (local == nullptr || local->port == 0) {
        return -1;
    }
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) {
        return -1;  // errno says why: EMFILE when no descriptor is left
    }
    int found = -1;
    while (const dirent* entry = readdir(fds)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && fd != dirfd(fds) &&
            bound_datagram_socket(static_cast<int>(fd), local->port)) {
            found = static_cast<int>(fd);
            break;
        }
    }
    closedir(fds);
    errno = found < 0 ? ENOENT : errno;
    return found;
}

bool send_datagrams(int fd, const Endpoint& to, const Vector_Bytes& datagrams) {
    std::array<iovec, wire::kPacketsPerVector> parts{};
    std::array<mmsghdr, wire::kPacketsPerVector> messages{};
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        // sendmmsg() only reads the bytes and the address.
        parts.at(i) = {const_cast<char*>(datagrams.at(i).data()), datagrams.at(i).size()};
        msghdr& header = messages.at(i).msg_hdr;
        header.msg_name = const_cast<sockaddr*>(to.address());
        header.msg_namelen = to.length();
        header.msg_iov = &parts.at(i);
        header.msg_iovlen = 1;
    }
    unsigned sent = 0;
    while (sent < messages.size()) {
        const int now =
            sendmmsg(fd, messages.data() + sent, static_cast<unsigned>(messages.size()) - sent, 0);
        if (now < 0 && errno == EINTR) {
            continue;
        }
        if (now <= 0) {
            return false;
        }
        for (unsigned i = sent; i < sent + static_cast<unsigned>(now); ++i) {
            if (messages.at(i).msg_len != parts.at(i).iov_len) {
                return false;
            }
        }
        sent += static_cast<unsigned>(now);
    }
    return true;
}

bool library_can_wait_on(int fd) {
    return fd >= 0 && fd < FD_SETSIZE;
}

namespace {

bool no_descriptor_left(int error) {
    return error == EMFILE || error == ENFILE;
}

constexpr const char* kNoDescriptorLeft = "no descriptor left for the socket (too many open files)";

}  // namespace

std::string unwaitable_reason(int fd, int error) {
    if (fd < 0) {
        return no_descriptor_left(error) ? kNoDescriptorLeft
                                         : "the socket's descriptor could not be found";
    }
    return "the socket is on descriptor " + std::to_string(fd) +
           ", and SDL_net can only wait on descriptors below " + std::to_string(FD_SETSIZE) +
           " (too many are open)";
}

int enlarge_receive_buffer(int fd, int bytes) {
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    return receive_buffer(fd);
}

int receive_buffer(int fd) {
    int bytes = 0;
    socklen_t len = sizeof bytes;
    return getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, &len) == 0 ? bytes : 0;
}

std::optional<std::uint32_t> kernel_drops(int fd) {
    std::uint32_t meminfo[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof meminfo;
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, meminfo, &len) != 0 ||
        len < (SK_MEMINFO_DROPS + 1) * sizeof(std::uint32_t)) {
        return std::nullopt;
    }
    return meminfo[SK_MEMINFO_DROPS];
}

std::string open_failure_reason(const char* fallback) {
    if (no_descriptor_left(errno)) {
        return kNoDescriptorLeft;
    }
    return library_error(fallback);
}

void open_standard_descriptors() {
    // In order: open() takes the lowest free descriptor, the closed one.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (opened >= 0 && opened != fd) {
                close(opened);  // a lower one was closed in between: not ours to fill
            }
        }
    }
}

timespec timespec_of(std::chrono::nanoseconds span) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
    return timespec{static_cast<time_t>(seconds.count()),
                    static_cast<long>((span - seconds).count())};
}

std::string library_error(const char* fallback) {
    const char* text = SDL_GetError();
    return text != nullptr && *text != '\0' ? text : fallback;
}

}  // namespace net
