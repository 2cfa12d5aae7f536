// Linked into every test program: a failure reported while a test captures
// standard output is also written to the standard output the program
// started with, so that its message is never lost in the capture.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "capture.h"

namespace {

class ShowFailuresDuringCapture : public ::testing::EmptyTestEventListener {
  public:
    explicit ShowFailuresDuringCapture(int out) : out_(out) {}

    void OnTestPartResult(const ::testing::TestPartResult& result) override {
        if (!result.failed() || !testsupport::Capture::capturing_stdout() || out_ < 0) {
            return;
        }
        const std::string text = std::string(result.file_name() ? result.file_name() : "?") + ":" +
                                 std::to_string(result.line_number()) +
                                 ": Failure (while output was captured)\n" + result.message() +
                                 "\n";
        (void)!write(out_, text.data(), text.size());
    }

  private:
    int out_;
};

// Installed before main() runs the tests; the listener list owns it.
const bool g_installed = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(
        new ShowFailuresDuringCapture(dup(STDOUT_FILENO)));
    return true;
}();

}  // namespace
