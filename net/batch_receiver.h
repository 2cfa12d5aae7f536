// Reads the datagrams waiting on a UDP socket in batches, with the kernel's
// record of each: its true source, when it arrived and the socket's drop
// count as of it. SDL_net's own receive says none of that.
#ifndef LANLINK_NET_BATCH_RECEIVER_H
#define LANLINK_NET_BATCH_RECEIVER_H

#include <SDL_net.h>
#include <sys/socket.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace net {

// One datagram of a batch; its bytes are in the packet it was read into.
struct Received {
    IPaddress from{};         // network byte order, as SDL_net keeps addresses
    std::size_t len = 0;      // the bytes kept, at most a packet's size
    std::size_t size = 0;     // the datagram's own length
    std::uint32_t drops = 0;  // the socket's drop count when the datagram was queued
    timespec arrived{};       // CLOCK_REALTIME, from the kernel's time stamp
    bool stamped = false;     // the kernel gave a time stamp
};

// The kernel stamps datagrams as they arrive only while some socket asks for
// stamps, and begins a moment after the first one asks (from a work queue):
// a datagram that comes before is stamped when it is read, which would make
// it look as late as the read. An Arrival_Stamps asks from a socket of its
// own and returns once a datagram it sent itself came back stamped on
// arrival (200 ms at most): while it lives, and while any other socket asks,
// every arrival is stamped as it arrives.
class Arrival_Stamps {
  public:
    Arrival_Stamps();
    ~Arrival_Stamps();
    Arrival_Stamps(const Arrival_Stamps&) = delete;
    Arrival_Stamps& operator=(const Arrival_Stamps&) = delete;
    Arrival_Stamps(Arrival_Stamps&&) = delete;
    Arrival_Stamps& operator=(Arrival_Stamps&&) = delete;

    bool on() const { return on_; }

  private:
    // Sends itself a datagram and reads it back: true when it was stamped
    // before it was read.
    bool stamped_on_arrival() const;

    int fd_;
    bool on_ = false;
};

class Batch_Receiver {
  public:
    // Receives into `packets`, `count` of them, each `size` bytes (longer
    // datagrams are cut to it). The packets stay the caller's.
    Batch_Receiver(UDPpacket** packets, int count, int size);

    // Asks the kernel to record, with each datagram queued on `fd` from now
    // on, its arrival time and the socket's drop count.
    static void record_arrivals(int fd);

    // Reads what is waiting on `fd`, up to a batch, without waiting: how many
    // were read (0 when none waits), or -1 on an error other than none waiting.
    int receive(int fd);

    const Received& at(int i) const { return received_[static_cast<std::size_t>(i)]; }
    const unsigned char* bytes(int i) const { return packets_[i]->data; }
    int capacity() const { return static_cast<int>(received_.size()); }

  private:
    // Room for the two control messages each datagram may carry.
    static constexpr std::size_t kControlBytes =
        CMSG_SPACE(sizeof(std::uint32_t)) + CMSG_SPACE(sizeof(timespec));
    struct Control {
        alignas(cmsghdr) unsigned char bytes[kControlBytes];
    };

    // Gives the first `count` headers back their sizes for the next call.
    void reset(std::size_t count);

    UDPpacket** packets_;
    std::size_t size_;
    std::size_t reset_on_next_ = 0;
    std::vector<mmsghdr> messages_;
    std::vector<iovec> parts_;
    std::vector<sockaddr_storage> sources_;
    std::vector<Control> controls_;
    std::vector<Received> received_;
};

}  // namespace net

#endif  // LANLINK_NET_BATCH_RECEIVER_H
