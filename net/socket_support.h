// What SDL_net does not offer: its sockets' descriptors, a bigger receive
// queue, and an error text that is never empty.
#ifndef LANLINK_NET_SOCKET_SUPPORT_H
#define LANLINK_NET_SOCKET_SUPPORT_H

#include <SDL_net.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "datagrams.h"

namespace net {

// The descriptor of an SDL_net UDP socket, or -1 (with errno set). SDL_net
// does not hand it out, so it is found among the open descriptors as the
// datagram socket bound to the socket's local port.
int udp_descriptor(UDPsocket sock);

// SDL_net waits with select(), whose descriptor sets end at FD_SETSIZE: a
// socket on a higher descriptor would abort the process in SDL_net.
bool library_can_wait_on(int fd);
// Why SDL_net cannot wait on `fd`, for the error message; `error` is the
// errno of a descriptor that could not be found (-1).
std::string unwaitable_reason(int fd, int error);

// Why a socket could not be opened: no descriptor left, or the library's
// own text (or `fallback`). Set errno to 0 before the library call.
std::string open_failure_reason(const char* fallback);

// Asks the kernel for a receive queue of `bytes`, so that a burst of vectors
// waits instead of being dropped: beyond net.core.rmem_max where the
// program may (SO_RCVBUFFORCE, as root), clamped to it otherwise. What the
// kernel gave, in its accounting (twice what was asked).
int enlarge_receive_buffer(int fd, int bytes);
// The receive queue's size in the kernel's accounting (twice what was asked).
int receive_buffer(int fd);

// How many datagrams the kernel has dropped on `fd` since it was opened
// because its receive queue was full (the drops column of /proc/net/udp);
// nothing where the kernel cannot tell. The count wraps at 2^32.
std::optional<std::uint32_t> kernel_drops(int fd);

// Sends the three datagrams to `to` from `fd`, in slot order, with one
// sendmmsg() (more only when the kernel takes fewer at once): true when
// all went.
bool send_datagrams(int fd, const Endpoint& to, const Vector_Bytes& datagrams);

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed, so that
// no socket or pipe the program opens later takes its place.
void open_standard_descriptors();

// `span` (not negative) as a timespec, to the nanosecond: for ppoll()'s
// limit, or for clock_nanosleep() given the time since the clock's epoch.
timespec timespec_of(std::chrono::nanoseconds span);

// SDL's error text, or `fallback` where the library left it empty. Call
// SDL_ClearError() before the library call, so that an old text is not
// taken for this call's.
std::string library_error(const char* fallback);
// The fallback for a name that could not be resolved.
constexpr const char* kResolveFallback = "the name is not a known host or numeric address";

}  // namespace net

#endif  // LANLINK_NET_SOCKET_SUPPORT_H
