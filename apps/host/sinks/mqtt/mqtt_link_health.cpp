#include "apps/host/sinks/mqtt/mqtt_link_health.h"

#include <algorithm>

namespace kavren::host {

MqttLinkHealth::Clock::duration MqttLinkHealth::next() {
    const Clock::duration wait = backoff_;
    backoff_ = std::min(backoff_ * 2, kMaxRetry);
    return wait;
}

MqttLinkHealth::Clock::duration MqttLinkHealth::unreachable() {
    // A broker that is away is not one that keeps closing connections.
    short_in_a_row_ = 0;
    return next();
}

void MqttLinkHealth::accepted(Clock::time_point now) {
    up_ = true;
    stable_ = false;
    up_since_ = now;
}

MqttLinkHealth::Lost MqttLinkHealth::lost(Clock::time_point now) {
    Lost lost;
    lost.lasted = up_ ? now - up_since_ : Clock::duration::zero();
    up_ = false;
    if (lost.lasted >= kStable) {
        backoff_ = kFirstRetry;
        short_in_a_row_ = 0;
    } else {
        ++short_in_a_row_;
    }
    lost.short_in_a_row = short_in_a_row_;
    lost.retry_after = next();
    return lost;
}

MqttLinkHealth::Clock::duration MqttLinkHealth::renewed() {
    up_ = false;
    short_in_a_row_ = 0;
    return next();
}

bool MqttLinkHealth::held(Clock::time_point now) {
    if (!up_ || stable_ || now - up_since_ < kStable) return false;
    stable_ = true;
    backoff_ = kFirstRetry;
    short_in_a_row_ = 0;
    return true;
}

}  // namespace kavren::host
