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
