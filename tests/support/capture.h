// Captures what the code under test writes to a descriptor (1 or 2), C stdio
// and std::cout included.
#ifndef LANLINK_TESTS_SUPPORT_CAPTURE_H
#define LANLINK_TESTS_SUPPORT_CAPTURE_H

#include <string>

namespace testsupport {

class Capture {
  public:
    explicit Capture(int fd);
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    Capture(Capture&&) = delete;
    Capture& operator=(Capture&&) = delete;

    // Everything written so far; capturing goes on.
    std::string text();

    // Whether standard output is being captured now: a failure reported
    // meanwhile would land in the capture, so it is shown elsewhere too.
    static bool capturing_stdout();

  private:
    int fd_;
    int saved_;
    int file_;
};

}  // namespace testsupport

#endif  // LANLINK_TESTS_SUPPORT_CAPTURE_H
