#include "pcap_read.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace testsupport {

namespace {

unsigned word(const unsigned char* p) {
    return (static_cast<unsigned>(p[0]) << 8) | p[1];
}

std::string endpoint(int family, const unsigned char* address, unsigned port) {
    std::array<char, INET6_ADDRSTRLEN> text{};
    inet_ntop(family, address, text.data(), text.size());
    const std::string shown =
        family == AF_INET6 ? "[" + std::string(text.data()) + "]" : std::string(text.data());
    return shown + ":" + std::to_string(port);
}

}  // namespace

Capture_File read_capture(const std::string& path) {
    Capture_File file;
    std::array<char, PCAP_ERRBUF_SIZE> error{};
    pcap_t* in = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO,
                                                         error.data());
    if (in == nullptr) {
        file.error = error.data();
        return file;
    }
    file.nanoseconds = pcap_get_tstamp_precision(in) == PCAP_TSTAMP_PRECISION_NANO;
    file.link_type = pcap_datalink(in);
    pcap_pkthdr* header = nullptr;
    const unsigned char* data = nullptr;
    int got = 0;
    while ((got = pcap_next_ex(in, &header, &data)) == 1) {
        Captured packet;
        packet.when = {header->ts.tv_sec, header->ts.tv_usec};
        packet.cut = header->caplen < header->len;
        const bool v6 = header->caplen > 0 && (data[0] >> 4) == 6;
        const std::size_t ip = v6 ? 40 : static_cast<std::size_t>(data[0] & 0x0f) * 4;
        if (header->caplen < ip + 8) {
            file.error = "a packet shorter than its headers";
            break;
        }
        const unsigned char* udp = data + ip;
        packet.from = endpoint(v6 ? AF_INET6 : AF_INET, data + (v6 ? 8 : 12), word(udp));
        packet.to = endpoint(v6 ? AF_INET6 : AF_INET, data + (v6 ? 24 : 16), word(udp + 2));
        packet.size = word(udp + 4) - 8;
        packet.payload.assign(reinterpret_cast<const char*>(udp + 8), header->caplen - ip - 8);
        file.packets.push_back(packet);
    }
    if (got == -1) {
        file.error = pcap_geterr(in);
    }
    pcap_close(in);
    return file;
}

std::string rfc3339(const timespec& when) {
    tm utc{};
    gmtime_r(&when.tv_sec, &utc);
    std::array<char, 64> text{};
    const std::size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text.data() + length, text.size() - length, ".%09ldZ",
                  static_cast<long>(when.tv_nsec));
    return text.data();
}

bool have_tshark() {
    return access("/usr/bin/tshark", X_OK) == 0;
}

std::string tshark(const std::string& arguments) {
    char home[] = "/tmp/lanlink-tshark-XXXXXX";
    if (!have_tshark() || mkdtemp(home) == nullptr) {
        return "";
    }
    const std::string command = "HOME=" + std::string(home) + " XDG_CONFIG_HOME=" + home +
                                " /usr/bin/tshark " + arguments + " 2>&1";
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        std::array<char, 4096> chunk{};
        std::size_t n = 0;
        while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) {
            out.append(chunk.data(), n);
        }
        pclose(pipe);
    }
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    return out;
}

}  // namespace testsupport
