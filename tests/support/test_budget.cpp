// Linked into every test program: each test gets a budget for its waits
// (budget.h) of nine tenths of its CTest limit, which CTest passes in
// LANLINK_TEST_LIMIT (seconds; 30 when the program is run by hand). The
// tenth left over is for the test to fail, report and end its children.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "budget.h"

namespace {

class BudgetPerTest : public ::testing::EmptyTestEventListener {
  public:
    explicit BudgetPerTest(std::chrono::milliseconds budget) : budget_(budget) {}

    void OnTestStart(const ::testing::TestInfo& /*test*/) override {
        testsupport::start_budget(budget_);
    }
    void OnTestEnd(const ::testing::TestInfo& /*test*/) override { testsupport::end_budget(); }

  private:
    std::chrono::milliseconds budget_;
};

long limit_seconds() {
    const char* given = std::getenv("LANLINK_TEST_LIMIT");
    char* end = nullptr;
    const long seconds = given != nullptr ? std::strtol(given, &end, 10) : 0;
    return seconds > 0 && *end == '\0' ? seconds : 30;
}

// Installed before main() runs the tests; the listener list owns it.
const bool g_installed = [] {
    const long limit = limit_seconds();
    const std::chrono::milliseconds budget(limit * 900);
    testsupport::on_budget_spent([limit, budget] {
        ADD_FAILURE() << "this test has waited through its budget (" << budget.count()
                      << " ms of its " << limit
                      << " s limit): a wait was cut short, and every wait after it ends at once";
    });
    ::testing::UnitTest::GetInstance()->listeners().Append(new BudgetPerTest(budget));
    return true;
}();

}  // namespace
