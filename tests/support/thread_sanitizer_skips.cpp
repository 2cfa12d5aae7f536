// Linked into every test program of the ThreadSanitizer build: the tests
// named here cannot run under it and are skipped, with the reason, as they
// start. A test that can say so itself does it in its own body instead
// (#ifdef LANLINK_THREAD_SANITIZED); this list is for the others.
#include <gtest/gtest.h>

#include <string>

namespace {

struct Unfit {
    const char* test;  // suite.name
    const char* reason;
};

constexpr Unfit kUnfit[] = {
    {"LanlinkAnswer.InTheBackgroundItKeepsServingAndLeavesTheTerminalAlone",
     "under ThreadSanitizer every signal stays blocked while a handler runs (SA_NODEFER "
     "notwithstanding), so lanlink's Ctrl-Z handler, which raises SIGTSTP again to stop, "
     "does not stop it"},
};

class SkipUnfit : public ::testing::EmptyTestEventListener {
  public:
    void OnTestStart(const ::testing::TestInfo& test) override {
        const std::string name = std::string(test.test_suite_name()) + "." + test.name();
        for (const Unfit& unfit : kUnfit) {
            if (name == unfit.test) {
                GTEST_SKIP() << unfit.reason;
            }
        }
    }
};

// Installed before main() runs the tests; the listener list owns it.
const bool g_installed = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new SkipUnfit);
    return true;
}();

}  // namespace
