#include "budget.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

// The budget's end on the steady clock; zero when no budget runs.
std::atomic<Clock::rep> g_end{0};
std::atomic<bool> g_reported{false};
std::mutex g_report_lock;

// Set by test programs before main(), hence not a global of its own, whose
// construction could come after.
std::function<void()>& stored_report() {
    static std::function<void()> the_report;
    return the_report;
}

}  // namespace

void start_budget(std::chrono::milliseconds length) {
    g_reported = false;
    g_end = (Clock::now() + length).time_since_epoch().count();
}

void end_budget() {
    g_end = 0;
}

void on_budget_spent(std::function<void()> report) {
    const std::lock_guard<std::mutex> held(g_report_lock);
    stored_report() = std::move(report);
}

std::chrono::milliseconds patient() {
    const Clock::rep end = g_end;
    if (end == 0) {
        return std::chrono::seconds(30);
    }
    const auto left = std::chrono::floor<std::chrono::milliseconds>(
        Clock::time_point(Clock::duration(end)) - Clock::now());
    return std::max(left, std::chrono::milliseconds(0));
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds step) {
    const auto deadline = Clock::now() + patient();
    while (!done()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(step);
    }
    return true;
}

Bounded within_budget(std::chrono::milliseconds wanted) {
    const Clock::rep end = g_end;
    if (end == 0) {
        return {wanted, false};
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        Clock::time_point(Clock::duration(end)) - Clock::now());
    if (left >= wanted) {
        return {wanted, false};
    }
    return {std::max(left, std::chrono::milliseconds(0)), true};
}

void budget_spent() {
    if (g_end != 0 && !g_reported.exchange(true)) {
        const std::lock_guard<std::mutex> held(g_report_lock);
        if (stored_report()) {
            stored_report()();
        }
    }
}

}  // namespace testsupport
