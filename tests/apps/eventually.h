#pragma once

// Waiting in a test for a condition, never for a fixed time.
#include <chrono>
#include <thread>

namespace testing_support {

// Waits until the condition holds, looking again every few milliseconds; false when it still
// does not hold after timeout_s.
template <typename Condition>
bool eventually(Condition condition, double timeout_s = 20) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

// Seconds since `start`, for bounds a test checks on what must end by a deadline.
inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace testing_support
