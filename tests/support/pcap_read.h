// A capture file read back with libpcap, each packet's IP and UDP headers
// taken apart, and tshark's view of it where tshark is installed.
#ifndef LANLINK_TESTS_SUPPORT_PCAP_READ_H
#define LANLINK_TESTS_SUPPORT_PCAP_READ_H

#include <time.h>

#include <string>
#include <vector>

namespace testsupport {

struct Captured {
    timespec when{};
    std::string from;  // "a.b.c.d:port" or "[v6]:port"
    std::string to;
    std::string payload;   // what the file holds of the datagram
    std::size_t size = 0;  // the datagram's own length, from its UDP header
    bool cut = false;      // the file holds less than the packet was
};

struct Capture_File {
    std::string error;  // libpcap's, when the file could not be read
    bool nanoseconds = false;
    int link_type = -1;
    std::vector<Captured> packets;
};

Capture_File read_capture(const std::string& path);

// `when` as RFC 3339 UTC with nanoseconds, as --json writes times.
std::string rfc3339(const timespec& when);

// tshark's output for `arguments` (after "tshark"), or nothing where tshark
// is not installed; its settings and plugins are none of the user's.
bool have_tshark();
std::string tshark(const std::string& arguments);

}  // namespace testsupport

#endif  // LANLINK_TESTS_SUPPORT_PCAP_READ_H
