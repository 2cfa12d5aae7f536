// Process and socket figures from /proc (and the scheduler's CPU time
// through the test support library).
#include "process.h"

#include <dirent.h>

#include <chrono>
#include <fstream>
#include <string>

#include "child.h"
#include "udp.h"

namespace bench {

double cpu_seconds(pid_t pid) {
    return std::chrono::duration<double>(testsupport::cpu_time(pid)).count();
}

long context_switches(pid_t pid) {
    long total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* dir = opendir(tasks.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') {
                continue;
            }
            std::ifstream status(tasks + "/" + entry->d_name + "/status");
            std::string line;
            while (std::getline(status, line)) {
                if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                    line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                    total += std::stol(line.substr(line.find(':') + 1));
                }
            }
        }
        closedir(dir);
    }
    return total;
}

long peak_rss_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

long udp_drops(std::uint16_t port) {
    return static_cast<long>(testsupport::kernel_drops(port).value_or(0));
}

}  // namespace bench
