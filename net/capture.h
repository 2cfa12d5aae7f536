// A pcap file of every datagram the peer received or sent, written by a
// thread of its own: the network side hands each datagram over without
// ever waiting (what finds no room is counted, not captured), and the
// writer takes them in turns of its own. A datagram is captured once the
// file has taken it.
#ifndef LANLINK_NET_CAPTURE_H
#define LANLINK_NET_CAPTURE_H

#include <pcap/pcap.h>
#include <sys/types.h>
#include <time.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "endpoint.h"
#include "wire_format.h"

namespace net {

class Capture : public std::enable_shared_from_this<Capture> {
  public:
    // Datagrams waiting to be written at most.
    static constexpr std::size_t kRoom = 1024;

    // Opens `path` for writing (made anew), and starts the writer. On a
    // failure, nothing, the call and the reason in `call` and `reason`.
    static std::shared_ptr<Capture> open(const std::string& path, std::string& call,
                                         std::string& reason);
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    Capture(Capture&&) = delete;
    Capture& operator=(Capture&&) = delete;

    // From the network side only, never waiting. A datagram of `size` bytes
    // (`bytes` what was kept of it) from `from` to `to` at `when`; a `to`
    // or `from` without an address (not known) is found by the writer,
    // as the route to the other end would take it.
    void add(const Endpoint& from, const Endpoint& to, std::string_view bytes, std::size_t size,
             const timespec& when);
    // The datagrams added since the last call may be written now.
    void hand_over();

    // Writes everything added, closes the file and ends the writer, within
    // `limit`: a file that takes no more meanwhile (a pipe nobody reads) is
    // left as it is, and what it was not known to take counted as not
    // captured. False then. Once only: later calls return at once.
    bool finish(std::chrono::milliseconds limit);

    const std::string& path() const { return path_; }
    std::uint64_t captured() const { return captured_.load(std::memory_order_relaxed); }
    // Not captured: no room was left, or the file could not be written.
    std::uint64_t not_captured() const { return not_captured_.load(std::memory_order_relaxed); }
    // The errno of the write that failed, after which nothing more is
    // written; 0 while none has.
    int failure() const { return failure_.load(std::memory_order_acquire); }

  private:
    struct Slot {
        timespec when{};
        Endpoint from;
        Endpoint to;
        std::size_t size = 0;
        std::size_t len = 0;
        std::array<unsigned char, wire::kPacketSize> bytes{};
    };

    // The file's descriptor under the dumper's stream: written without
    // blocking, waiting for room while the capture is not given up.
    struct File_Sink {
        int fd = -1;
        const std::atomic<bool>* abandoned = nullptr;
        int error = 0;  // the errno of the first write that failed, kept: the
                        // stream drops what it could not write, and says no more
    };
    static ssize_t write_file(void* sink, const char* bytes, std::size_t size);
    static int close_file(void* sink);

    Capture(std::string path, pcap_t* dead);
    void write_all();
    bool write(Slot& slot);
    // The file takes what was written since the last flush: captured.
    void flush();
    // The address this machine sends from to reach `other`.
    Endpoint route_to(const Endpoint& other);
    void fail(int error);

    std::string path_;
    pcap_t* dead_;
    pcap_dumper_t* dumper_ = nullptr;
    File_Sink sink_;
    std::unique_ptr<Slot[]> slots_;
    // Added at `head_`, written from `tail_`; each only grows.
    std::atomic<std::uint64_t> head_{0};
    std::atomic<std::uint64_t> tail_{0};
    std::uint64_t handed_ = 0;  // head_ at the last hand-over (network side)
    std::atomic<std::uint64_t> captured_{0};
    std::uint64_t unflushed_ = 0;  // written into the file's buffer since the last flush
    std::atomic<std::uint64_t> not_captured_{0};
    std::atomic<int> failure_{0};
    // The writer sleeps here until there is work, or it is told to end.
    std::mutex mutex_;
    std::condition_variable work_;
    std::atomic<bool> asleep_{false};
    bool ending_ = false;
    bool done_ = false;                   // the writer has closed the file
    std::atomic<bool> abandoned_{false};  // finish() gave up waiting: nothing more is written
    std::condition_variable finished_;
    std::uint16_t next_id_ = 0;
    std::string packet_;
    std::unordered_map<Endpoint, Endpoint> routes_;
    std::thread writer_;
};

}  // namespace net

#endif  // LANLINK_NET_CAPTURE_H
