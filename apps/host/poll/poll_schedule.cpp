#include "apps/host/poll/poll_schedule.h"

#include <algorithm>

namespace kavren::host {

Clock::duration offline_retry_delay(uint32_t attempts, Clock::duration interval,
                                    Clock::duration max_delay) {
    if (interval <= Clock::duration::zero()) return max_delay;
    Clock::duration delay = interval;
    for (uint32_t i = 0; i < attempts && delay < max_delay; ++i) delay *= 2;
    return std::min(delay, std::max(max_delay, interval));
}

bool attempt_due(const MeterHealth& health, Clock::time_point now) {
    return !health.offline || now >= health.next_attempt;
}

HealthChange record_failure(MeterHealth& health, Clock::time_point now, uint32_t offline_after,
                            Clock::duration interval, Clock::duration max_delay) {
    if (health.failures_in_a_row < UINT32_MAX) ++health.failures_in_a_row;
    if (health.offline) {
        if (health.offline_attempts < UINT32_MAX) ++health.offline_attempts;
        health.next_attempt =
            now + offline_retry_delay(health.offline_attempts, interval, max_delay);
        return HealthChange::none;
    }
    if (health.failures_in_a_row < std::max<uint32_t>(offline_after, 1)) return HealthChange::none;
    health.offline = true;
    health.offline_attempts = 0;
    health.next_attempt = now + offline_retry_delay(0, interval, max_delay);
    return HealthChange::went_offline;
}

HealthChange record_success(MeterHealth& health) {
    const bool was_offline = health.offline;
    health = MeterHealth{};
    return was_offline ? HealthChange::back_online : HealthChange::none;
}

}  // namespace kavren::host
