#pragma once

#include <chrono>
#include <cstdint>

namespace kavren::host {

using Clock = std::chrono::steady_clock;

// How a meter has been answering, and when it is next due.
struct MeterHealth {
    uint32_t failures_in_a_row = 0;
    bool offline = false;
    uint32_t offline_attempts = 0;  // failed attempts since it went offline
    Clock::time_point next_attempt{};
};

enum class HealthChange { none, went_offline, back_online };

// Delay before the next attempt at an offline meter: the interval doubled per failed attempt,
// at most max_delay. Saturates instead of overflowing however many attempts failed.
Clock::duration offline_retry_delay(uint32_t attempts, Clock::duration interval,
                                    Clock::duration max_delay);

bool attempt_due(const MeterHealth& health, Clock::time_point now);

HealthChange record_failure(MeterHealth& health, Clock::time_point now, uint32_t offline_after,
                            Clock::duration interval, Clock::duration max_delay);
HealthChange record_success(MeterHealth& health);

}  // namespace kavren::host
