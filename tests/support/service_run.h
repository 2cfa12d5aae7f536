// A service under test: its events told as text, written at once to the
// descriptors they are for, and the waits the loop would make for it.
#ifndef LANLINK_TESTS_SUPPORT_SERVICE_RUN_H
#define LANLINK_TESTS_SUPPORT_SERVICE_RUN_H

#include <cstdint>
#include <string_view>

#include "output.h"
#include "render_text.h"

class UDP_Server_Service;

namespace testsupport {

// Writes each text at once with write(2), so that a Capture sees it.
class Direct_Out final : public console::Text_Out {
  public:
    bool put(int fd, std::string_view text, console::Kind kind) override;
    void finish() override {}
    std::uint64_t not_shown() const override { return 0; }
};

// The text renderer on a Direct_Out: what a test gives a service to tell.
class Text_Events {
  public:
    explicit Text_Events(console::Text_Settings settings = {}) : renderer_(out_, settings) {}
    console::Text_Renderer& renderer() { return renderer_; }
    operator net::Peer_Events&() { return renderer_; }  // NOLINT: a stand-in for the renderer

  private:
    Direct_Out out_;
    console::Text_Renderer renderer_;
};

// Waits up to `timeout_ms` (-1: without a limit) for a datagram on the
// service's sockets; true when one is waiting.
bool wait_for_data(const UDP_Server_Service& service, int timeout_ms);
// The service's next wake from now, rounded up to whole milliseconds; -1
// for none.
int wait_timeout_ms(const UDP_Server_Service& service);

}  // namespace testsupport

#endif  // LANLINK_TESTS_SUPPORT_SERVICE_RUN_H
