// Reads the datagrams waiting on a UDP socket of either family in batches,
// with the kernel's record of each: its true source, when it arrived and
// the socket's drop count as of it.
#ifndef LANLINK_NET_BATCH_RECEIVER_H
#define LANLINK_NET_BATCH_RECEIVER_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "datagrams.h"

namespace net {

class Batch_Receiver {
  public:
    // Receives into `buffers`, one datagram of up to `size` bytes each
    // (longer ones are cut to it, their own length still told). The
    // buffers stay the caller's.
    Batch_Receiver(const std::vector<unsigned char*>& buffers, int size);

    // Asks the kernel to record, with each datagram queued on `fd` from now
    // on, its arrival time and the socket's drop count.
    static void record_arrivals(int fd);

    // Reads what is waiting on `fd`, up to a batch, without waiting: how many
    // were read (0 when none waits), or -1 on an error other than none waiting.
    int receive(int fd);

    const Received& at(int i) const { return received_[static_cast<std::size_t>(i)]; }
    int capacity() const { return static_cast<int>(received_.size()); }

  private:
    // Room for the three control messages each datagram may carry (the
    // address it was sent to only where that was asked for).
    static constexpr std::size_t kControlBytes = CMSG_SPACE(sizeof(std::uint32_t)) +
                                                 CMSG_SPACE(sizeof(timespec)) +
                                                 CMSG_SPACE(sizeof(in6_pktinfo));
    struct Control {
        alignas(cmsghdr) unsigned char bytes[kControlBytes];
    };

    // Gives the first `count` headers back their sizes for the next call.
    void reset(std::size_t count);

    std::size_t size_;
    std::size_t reset_on_next_ = 0;
    std::vector<unsigned char*> buffers_;
    std::vector<mmsghdr> messages_;
    std::vector<iovec> parts_;
    std::vector<sockaddr_storage> sources_;
    std::vector<Control> controls_;
    std::vector<Received> received_;
};

}  // namespace net

#endif  // LANLINK_NET_BATCH_RECEIVER_H
