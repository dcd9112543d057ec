#pragma once

#include <chrono>

namespace kavren::host {

// When to try the broker again, and what the connection's history says: a back-off that grows
// while the broker cannot be reached or keeps closing the connection it accepted, and starts
// over only once a connection has lasted (kStable), so that a broker that accepts and drops at
// once is tried a handful of times a minute, not many times a second; and whether the broker has
// acknowledged anything for too long while messages wait. Time is given, never read: testable.
class MqttLinkHealth {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kFirstRetry = std::chrono::seconds(1);
    static constexpr Clock::duration kMaxRetry = std::chrono::seconds(30);
    static constexpr Clock::duration kStable = std::chrono::seconds(60);

    // ack_timeout: how long messages may wait for the broker's first acknowledgement.
    explicit MqttLinkHealth(Clock::duration ack_timeout) : ack_timeout_(ack_timeout) {}

    // A connection attempt that never got the broker's acceptance: the wait before the next.
    Clock::duration unreachable();
    // The broker accepted the connection.
    void accepted(Clock::time_point now);
    struct Lost {
        Clock::duration retry_after{};
        Clock::duration lasted{};
        int short_in_a_row = 0;  // accepted connections in a row that ended before kStable
    };
    // An accepted connection ended.
    Lost lost(Clock::time_point now);
    // The connection was given up by us (nothing acknowledged): the wait before the next. It
    // says nothing of the broker's closing connections.
    Clock::duration renewed();
    // True once per connection, when it has lasted kStable: the back-off starts over.
    bool held(Clock::time_point now);

    // Messages started waiting for an acknowledgement (none waited before), or one came.
    void waiting_from(Clock::time_point now) { waiting_since_ = now; }
    // Whether messages have waited ack_timeout without a single acknowledgement.
    bool ack_overdue(Clock::time_point now, bool messages_waiting) const {
        return messages_waiting && now - waiting_since_ > ack_timeout_;
    }
    Clock::duration ack_timeout() const { return ack_timeout_; }

  private:
    Clock::duration next();

    Clock::duration ack_timeout_;
    Clock::duration backoff_ = kFirstRetry;
    Clock::time_point up_since_{};
    bool up_ = false;
    bool stable_ = false;
    int short_in_a_row_ = 0;
    Clock::time_point waiting_since_{};
};

}  // namespace kavren::host
