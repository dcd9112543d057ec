#pragma once

#include <chrono>
#include <cstdint>

namespace kavren::host {

// The steady clock in nanoseconds: a deadline that fits in a std::atomic<int64_t>.
inline int64_t steady_ns(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}
inline int64_t steady_now_ns() { return steady_ns(std::chrono::steady_clock::now()); }

}  // namespace kavren::host
