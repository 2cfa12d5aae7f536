// The packet-vector format spoken between lanlink peers.
//
// A message is three UDP datagrams sent together with one vector send, in
// slot order: slot 0 an address text, slot 1 a port text, slot 2 a keyword.
// Texts travel with their terminating zero. The "up_resp" answer to an
// "update" is three datagrams of exactly kAnswerLength bytes each, sent to
// kAnswerHost:kAnswerPort.
#ifndef LANLINK_NET_WIRE_FORMAT_H
#define LANLINK_NET_WIRE_FORMAT_H

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace wire {

constexpr int kPacketsPerVector = 3;
constexpr int kPacketSize = 512;  // bytes per packet buffer: the largest payload kept

constexpr int kSlotAddress = 0;
constexpr int kSlotPort = 1;
constexpr int kSlotKeyword = 2;

constexpr const char* kKeywordQuit = "quit";
constexpr const char* kKeywordUpdate = "update";
constexpr const char* kKeywordAnswer = "up_resp";

constexpr int kAnswerLength = 9;  // every "up_resp" answer datagram is this long
constexpr const char* kAnswerHost = "127.0.0.1";
constexpr int kAnswerPort = 4556;
constexpr int kAnswerPauseMicros = 1000;  // pause before each answer is sent

// With a shared key, the third datagram of every vector a peer sends ends
// with a trailer of kTrailerBytes, after the keyword's terminating zero
// (after an answer's kAnswerLength bytes):
//   bytes  0-3   "LLK1"
//   bytes  4-11  the sender's id, random for each run of the program
//   bytes 12-19  a counter, big-endian: 0 for the run's first vector, one
//                more for each after it
//   bytes 20-27  the send time, big-endian, in microseconds since the Unix
//                epoch
//   bytes 28-59  the tag: HMAC-SHA-512-256 (libsodium's crypto_auth) under
//                the key, over bytes 0-27 and then each slot's text (its
//                bytes up to its first zero, or to the end of the datagram
//                before the trailer) preceded by its length as 2 big-endian
//                bytes, in slot order.
// A peer without a key reads the keyword up to its zero, as ever.
constexpr std::size_t kTrailerBytes = 60;
constexpr char kTrailerMagic[] = {'L', 'L', 'K', '1'};
constexpr std::size_t kSenderIdAt = 4;
constexpr std::size_t kCounterAt = 12;
constexpr std::size_t kSendTimeAt = 20;
constexpr std::size_t kTagAt = 28;  // also how many bytes of the trailer the tag covers
constexpr std::size_t kTagBytes = 32;
constexpr std::size_t kKeyBytes = 32;
// The longest word a keyed send takes: it, its zero and the trailer fill a packet.
constexpr std::size_t kLongestKeyedWord = kPacketSize - 1 - kTrailerBytes;
// How far a keyed vector's send time may be from the receiver's clock,
// unless set otherwise; how many of a sender's last counters are kept, and
// how many senders.
constexpr int kDefaultMaxSkewSeconds = 30;
constexpr std::uint64_t kReplayWindow = 8192;
constexpr std::size_t kMostKeyedSenders = 1024;

// A vector's datagrams arrive within this of its first, unless set otherwise.
constexpr std::chrono::milliseconds kDefaultWindow{50};

constexpr int kDefaultListenPort = 4555;
constexpr int kHighestPort = 65535;  // ports are 16 bits: a larger number is refused, never wrapped

constexpr bool port_in_range(long long port) {
    return port >= 0 && port <= kHighestPort;
}

constexpr const char* kInitialDestIp = "0";
constexpr int kInitialDestPort = 9999;

// send_update's fixed endpoint on the local network. Only tests replace it,
// and they always replace it with a loopback address.
constexpr const char* kSendUpdateHost = "192.168.1.100";
constexpr int kSendUpdatePort = 4567;

}  // namespace wire

#endif  // LANLINK_NET_WIRE_FORMAT_H
