// The traffic the cost set sends: updates timed one at a time to several
// programs in turn (as the outside measure's client does, update by update),
// and floods of vectors at a steady rate, each with the CPU of the program
// that received them.
#ifndef LANLINK_BENCH_TRAFFIC_H
#define LANLINK_BENCH_TRAFFIC_H

#include <sys/socket.h>
#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "shared_key.h"
#include "udp.h"

namespace bench {

// A program that answers updates, as the update client sees it.
struct UpdateTarget {
    std::string name;
    pid_t pid = -1;
    std::uint16_t port = 0;
    int family = AF_INET;                  // the sender's: 127.0.0.1 or ::1
    const net::Shared_Key* key = nullptr;  // seal every update, verify every answer
    bool forge = false;                    // with a key: spoil every update's tag
};

// One target's figures over one run.
struct UpdateFigures {
    double cpu_us = 0;    // per answered update, every thread of the program
    double switches = 0;  // its threads' context switches (voluntary and not) per answered update
    double median_us = 0;
    double p99_us = 0;
    int answered = 0;
    int lost = 0;        // no answer within 200 ms
    int unverified = 0;  // keyed answers whose tag did not verify
};

class UpdateClient {
  public:
    // `together`: each update's three datagrams in one sendmmsg(), timed
    // from it; otherwise three sendto() (as a peer built on SDL_net sends),
    // timed from the third. Binds 127.0.0.1:kAnswerPort for the answers.
    explicit UpdateClient(bool together);

    // Updates to `target` until `wanted` in a row were answered (true), or
    // `timeout` has passed.
    bool warm_up(const UpdateTarget& target, int wanted, std::chrono::milliseconds timeout);

    // `count` rounds, each one update to every target in turn, 200 us
    // apart; round i starts with target (i + first) modulo their number. A
    // target's CPU and context switches are counted over all the rounds.
    std::vector<UpdateFigures> interleaved(const std::vector<UpdateTarget>& targets, int count,
                                           int first);

    // One update to `target`: whether it was answered.
    bool ask(const UpdateTarget& target) { return one(target).answered; }

    // Answers that came for an update already given up, or none matched.
    long strays() const { return strays_; }
    // Updates sent to `port` so far.
    long sent_to(std::uint16_t port) const;

  private:
    struct Outcome {
        bool answered = false;
        bool verified = true;
        double micros = 0;
    };
    Outcome one(const UpdateTarget& target);

    bool together_;
    testsupport::LoopbackUdp v4_;
    std::unique_ptr<testsupport::LoopbackUdp> v6_;
    testsupport::LoopbackUdp answers_;
    std::uint64_t sender_id_;
    std::uint64_t counter_ = 0;
    std::uint64_t sequence_ = 0;
    long strays_ = 0;
    std::vector<std::pair<std::uint16_t, long>> sent_;
};

// A vector's three datagrams.
using VectorMaker = std::function<std::array<std::string, 3>(int)>;

struct FloodFigures {
    double cpu_us = 0;  // per vector sent, every thread of the receiver
    long dropped = 0;   // by the kernel, on the receiver's sockets of both families
    int vectors = 0;
    double rate = 0;  // vectors a second the sender reached
};

// `vectors` vectors made by `make`, `rate` a second in batches a
// millisecond apart, from `from` to `port`, with `pid`'s CPU counted until
// the receiver has read them all.
FloodFigures flood(pid_t pid, std::uint16_t port, const testsupport::LoopbackUdp& from,
                   int vectors, double rate, const VectorMaker& make);

// The three datagrams of a plain vector, slot texts with their zeros.
std::array<std::string, 3> plain_vector(const std::string& address, const std::string& port,
                                        const std::string& keyword);

// The same, sealed with `key` as sender `sender` with `counter`; `forged`
// spoils the tag.
std::array<std::string, 3> sealed_vector(const net::Shared_Key& key, std::uint64_t sender,
                                         std::uint64_t counter, const std::string& address,
                                         const std::string& port, const std::string& keyword,
                                         bool forged = false);

}  // namespace bench

#endif  // LANLINK_BENCH_TRAFFIC_H
