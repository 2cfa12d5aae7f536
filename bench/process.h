// What the benchmark reads about a process or a socket from /proc: CPU time
// from every thread's scheduler statistics, context switches, peak memory,
// and the datagrams the kernel dropped on a UDP socket.
#ifndef LANLINK_BENCH_PROCESS_H
#define LANLINK_BENCH_PROCESS_H

#include <sys/types.h>

#include <cstdint>

namespace bench {

// CPU time of the process in seconds, every thread of it counted, from the
// scheduler.
double cpu_seconds(pid_t pid);

// Context switches of the process so far, every thread counted.
long context_switches(pid_t pid);

// The most memory the process has held (VmHWM), in KiB; -1 when unknown.
long peak_rss_kib(pid_t pid);

// Datagrams the kernel dropped on the UDP socket bound to `port`.
long udp_drops(std::uint16_t port);

}  // namespace bench

#endif  // LANLINK_BENCH_PROCESS_H
