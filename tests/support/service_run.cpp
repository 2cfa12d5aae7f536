#include "service_run.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include "udp_server_service.h"

namespace testsupport {

bool Direct_Out::put(int fd, std::string_view text, console::Kind /*kind*/) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool wait_for_data(const UDP_Server_Service& service, int timeout_ms) {
    std::vector<pollfd> ready;
    for (std::size_t i = 0; i < service.sockets(); ++i) {
        ready.push_back({service.descriptor(i), POLLIN, 0});
    }
    int result = 0;
    while ((result = poll(ready.data(), ready.size(), timeout_ms)) < 0 && errno == EINTR) {
    }
    return result > 0;
}

int wait_timeout_ms(const UDP_Server_Service& service) {
    const auto wake = service.next_wake();
    if (!wake) {
        return -1;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*wake - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

}  // namespace testsupport
