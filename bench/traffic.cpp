// Updates timed one at a time over several programs, and floods of vectors.
#include "traffic.h"

#include <poll.h>
#include <sodium.h>

#include <algorithm>
#include <cmath>
#include <thread>

#include "bench.h"
#include "process.h"
#include "trailer.h"
#include "vector_keys.h"

namespace bench {
namespace {

constexpr auto kAnswerWait = std::chrono::milliseconds(200);
constexpr auto kGap = std::chrono::microseconds(200);

std::string first_nine(const std::string& bytes) {
    std::string nine = bytes.substr(0, 9);
    nine.resize(9, '\0');
    return nine;
}

double cpu_us(pid_t pid) {
    return cpu_seconds(pid) * 1e6;
}

}  // namespace

std::array<std::string, 3> plain_vector(const std::string& address, const std::string& port,
                                        const std::string& keyword) {
    return {z(address), z(port), z(keyword)};
}

std::array<std::string, 3> sealed_vector(const net::Shared_Key& key, std::uint64_t sender,
                                         std::uint64_t counter, const std::string& address,
                                         const std::string& port, const std::string& keyword,
                                         bool forged) {
    std::array<std::string, 3> v = plain_vector(address, port, keyword);
    const net::Trailer_Bytes trailer =
        net::seal(key, net::Trailer{sender, counter, net::now_us()}, {v[0], v[1], v[2]});
    v[2].append(reinterpret_cast<const char*>(trailer.data()), trailer.size());
    if (forged) {
        v[2][v[2].size() - 1] = static_cast<char>(v[2][v[2].size() - 1] ^ 0x5a);
    }
    return v;
}

UpdateClient::UpdateClient(bool together)
    : together_(together), answers_(kAnswerPort), sender_id_(randombytes_random()) {
    sender_id_ = (sender_id_ << 32U) | randombytes_random();
    if (testsupport::have_ipv6()) {
        v6_ = std::make_unique<testsupport::LoopbackUdp>(0, false, 1, AF_INET6);
    }
}

UpdateClient::Outcome UpdateClient::one(const UpdateTarget& target) {
    Outcome outcome;
    strays_ += answers_.drain();
    const std::string number = std::to_string(++sequence_ % 100000000);
    const testsupport::LoopbackUdp& from =
        target.family == AF_INET6 && v6_ ? *v6_ : v4_;
    const std::array<std::string, 3> v =
        target.key != nullptr
            ? sealed_vector(*target.key, sender_id_, counter_++, "10.0.0.2", number, "update",
                            target.forge)
            : plain_vector("10.0.0.2", number, "update");
    const auto counted = std::find_if(sent_.begin(), sent_.end(),
                                      [&](const auto& p) { return p.first == target.port; });
    if (counted == sent_.end()) {
        sent_.emplace_back(target.port, 1);
    } else {
        ++counted->second;
    }
    Clock::time_point t0;
    if (together_) {
        t0 = Clock::now();
        from.send_together(target.port, {v[0], v[1], v[2]});
    } else {
        from.send(target.port, v[0]);
        from.send(target.port, v[1]);
        t0 = Clock::now();
        from.send(target.port, v[2]);
    }
    const std::string expected[3] = {first_nine(v[0]), first_nine(v[1]),
                                     std::string("up_resp\0\0", 9)};
    std::string got[3];
    int at = 0;
    const auto deadline = t0 + kAnswerWait;
    while (at < 3) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            break;
        }
        const auto d = answers_.receive(
            std::chrono::ceil<std::chrono::milliseconds>(left));
        if (!d) {
            continue;
        }
        const std::string nine = first_nine(d->bytes);
        if (nine == expected[at]) {
            got[at++] = d->bytes;
        } else if (nine == expected[0]) {
            got[0] = d->bytes;  // a late answer's start was taken for this one's
            at = 1;
        } else {
            ++strays_;
        }
    }
    if (at == 3) {
        outcome.answered = true;
        outcome.micros = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        if (target.key != nullptr) {
            outcome.verified = net::open(*target.key, got[0], got[1], got[2]).has_value();
        }
    }
    return outcome;
}

long UpdateClient::sent_to(std::uint16_t port) const {
    for (const auto& p : sent_) {
        if (p.first == port) {
            return p.second;
        }
    }
    return 0;
}

bool UpdateClient::warm_up(const UpdateTarget& target, int wanted,
                           std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    int in_a_row = 0;
    while (in_a_row < wanted && Clock::now() < end) {
        in_a_row = one(target).answered ? in_a_row + 1 : 0;
        std::this_thread::sleep_for(kGap);
    }
    return in_a_row >= wanted;
}

std::vector<UpdateFigures> UpdateClient::interleaved(const std::vector<UpdateTarget>& targets,
                                                     int count, int first) {
    const std::size_t k = targets.size();
    std::vector<UpdateFigures> figures(k);
    std::vector<std::vector<double>> micros(k);
    std::vector<double> cpu_before(k);
    std::vector<long> switches_before(k);
    for (std::size_t j = 0; j < k; ++j) {
        cpu_before[j] = cpu_us(targets[j].pid);
        switches_before[j] = context_switches(targets[j].pid);
    }
    for (int i = 0; i < count; ++i) {
        for (std::size_t n = 0; n < k; ++n) {
            const std::size_t j = (static_cast<std::size_t>(i + first) + n) % k;
            const Outcome outcome = one(targets[j]);
            if (outcome.answered) {
                micros[j].push_back(outcome.micros);
                figures[j].unverified += outcome.verified ? 0 : 1;
            } else {
                ++figures[j].lost;
            }
            std::this_thread::sleep_for(kGap);
        }
    }
    for (std::size_t j = 0; j < k; ++j) {
        UpdateFigures& f = figures[j];
        f.answered = static_cast<int>(micros[j].size());
        const double answered = std::max(1, f.answered);
        f.cpu_us = (cpu_us(targets[j].pid) - cpu_before[j]) / answered;
        f.switches =
            static_cast<double>(context_switches(targets[j].pid) - switches_before[j]) / answered;
        f.median_us = percentile(micros[j], 0.5);
        f.p99_us = percentile(micros[j], 0.99);
    }
    return figures;
}

FloodFigures flood(pid_t pid, std::uint16_t port, const testsupport::LoopbackUdp& from,
                   int vectors, double rate, const VectorMaker& make) {
    FloodFigures figures;
    figures.vectors = vectors;
    const auto drops = [port] {
        return static_cast<long>(testsupport::kernel_drops(port, AF_INET).value_or(0) +
                                 testsupport::kernel_drops(port, AF_INET6).value_or(0));
    };
    // Made beforehand, so that making them does not slow the sending.
    std::vector<std::array<std::string, 3>> made;
    made.reserve(static_cast<std::size_t>(vectors));
    for (int i = 0; i < vectors; ++i) {
        made.push_back(make(i));
    }
    const long dropped_before = drops();
    const double before = cpu_us(pid);
    const int per_batch = std::max(1, static_cast<int>(std::lround(rate / 1000)));
    const auto start = Clock::now();
    for (int i = 0, batch = 0; i < vectors; ++batch) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(batch));
        for (int n = 0; n < per_batch && i < vectors; ++n, ++i) {
            const auto& v = made[static_cast<std::size_t>(i)];
            from.send_together(port, {v[0], v[1], v[2]});
        }
    }
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    figures.rate = vectors / std::max(took, 1e-3);
    testsupport::wait_until_read(port, AF_INET);
    if (testsupport::kernel_drops(port, AF_INET6)) {
        testsupport::wait_until_read(port, AF_INET6);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    figures.cpu_us = (cpu_us(pid) - before) / vectors;
    figures.dropped = drops() - dropped_before;
    return figures;
}

}  // namespace bench
