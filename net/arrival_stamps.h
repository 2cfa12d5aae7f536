// Arrival stamps from the first datagram on.
#ifndef LANLINK_NET_ARRIVAL_STAMPS_H
#define LANLINK_NET_ARRIVAL_STAMPS_H

namespace net {

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

}  // namespace net

#endif  // LANLINK_NET_ARRIVAL_STAMPS_H
