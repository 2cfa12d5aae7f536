// The time a test may spend in the helpers' waits. Each test starts with a
// budget a little shorter than its CTest limit; every bounded wait in
// child.h and udp.h is cut to what is left of it, so that a test whose
// waits time out one after another fails with its own messages before
// CTest has to kill it (and its children with it).
#ifndef LANLINK_TESTS_SUPPORT_BUDGET_H
#define LANLINK_TESTS_SUPPORT_BUDGET_H

#include <chrono>
#include <functional>

namespace testsupport {

// Starts a budget of `length` from now, replacing any before it.
void start_budget(std::chrono::milliseconds length);
void end_budget();

// What the first wait that ran into the budget's end calls, once per budget
// and from whichever thread waited: the test has failed then, even where
// that wait was for something that must not come.
void on_budget_spent(std::function<void()> report);

struct Bounded {
    std::chrono::milliseconds length;  // `wanted`, or what is left of the budget if less
    bool cut;                          // whether that is less than `wanted`
};

// How long a wait for what must come may take: what is left of the budget
// (30 s when none runs). Such a wait ends as soon as it is over, so only a
// fault, never a slow machine, makes it run out.
std::chrono::milliseconds patient();

// Looks at `done` every `step` until it is true (true then), or until the
// test may not wait any longer (false).
bool eventually(const std::function<bool()>& done,
                std::chrono::milliseconds step = std::chrono::milliseconds(10));

// A wait of `wanted`, within the budget (whole when no budget runs).
Bounded within_budget(std::chrono::milliseconds wanted);

// Said by a wait that `within_budget` cut and that then ran to its end.
void budget_spent();

}  // namespace testsupport

#endif  // LANLINK_TESTS_SUPPORT_BUDGET_H
