#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "apps/host/support/asio_coro.h"
#include "apps/host/support/done_latch.h"

namespace kavren::host {

// Whether every link thread is making progress. Each link marks its progress (a round attempted,
// or a wake-up while it waits for its next round); a link counts as stuck when its last mark is
// older than its budget: the longest a round attempt may take (every request waiting out its
// time-out, with the pauses) plus a margin. Links come and go on a reload: each has a place
// among `capacity`, watched from watch() to unwatch().
class LinkProgress {
  public:
    using Clock = std::chrono::steady_clock;
    // One budget per link, the first places; room for `capacity` links in all.
    explicit LinkProgress(std::vector<Clock::duration> budgets, std::size_t capacity = 0);

    // From any thread. The link at `link` is judged from its first mark on.
    void watch(std::size_t link, Clock::duration budget);
    void unwatch(std::size_t link);
    std::size_t capacity() const { return capacity_; }
    void mark(std::size_t link, Clock::time_point now = Clock::now());
    // Each link has made its first round attempt (ready), or one is stuck.
    bool all_attempted() const;
    bool all_progressing(Clock::time_point now = Clock::now()) const;

  private:
    std::size_t capacity_;
    std::unique_ptr<std::atomic<int64_t>[]> budgets_;  // ns; 0: no link watched there
    std::unique_ptr<std::atomic<int64_t>[]> marks_;    // ns since the clock's epoch; 0: never
};

// Tells the service manager that the host reloads its configuration, and that it is done
// (systemd's Type=notify reload protocol). Without a service manager they do nothing.
void notify_reloading();
void notify_reloaded();

// Tells the service manager (systemd, Type=notify) when the host is ready and, while every link
// makes progress, feeds its watchdog: a timer on the event loop. Without a service manager (no
// NOTIFY_SOCKET) it does nothing.
class ServiceWatchdog {
  public:
    ServiceWatchdog(asio::io_context& io, const LinkProgress& progress);
    ~ServiceWatchdog();
    // Ends the timer (waiting for it, not from the loop's threads) and says the host stops.
    void stopping();

    ServiceWatchdog(const ServiceWatchdog&) = delete;
    ServiceWatchdog& operator=(const ServiceWatchdog&) = delete;

  private:
    asio::awaitable<void> run();
    const LinkProgress& progress_;
    std::chrono::microseconds watchdog_{0};  // 0: no watchdog asked for
    asio::strand<asio::io_context::executor_type> strand_;
    asio::steady_timer timer_;
    bool stop_ = false;                 // on the strand
    std::unique_ptr<DoneLatch> ended_;  // null: not started
};

}  // namespace kavren::host
