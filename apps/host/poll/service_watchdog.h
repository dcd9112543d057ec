#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kavren::host {

// Whether every link thread is making progress. Each link marks its progress (a round attempted,
// or a wake-up while it waits for its next round); a link counts as stuck when its last mark is
// older than its budget: the longest a round attempt may take (every request waiting out its
// time-out, with the pauses) plus a margin.
class LinkProgress {
  public:
    using Clock = std::chrono::steady_clock;
    // One budget per link.
    explicit LinkProgress(std::vector<Clock::duration> budgets);

    void mark(std::size_t link, Clock::time_point now = Clock::now());
    // Each link has made its first round attempt (ready), or one is stuck.
    bool all_attempted() const;
    bool all_progressing(Clock::time_point now = Clock::now()) const;

  private:
    std::vector<Clock::duration> budgets_;
    std::unique_ptr<std::atomic<int64_t>[]> marks_;  // ns since the clock's epoch; 0: never
};

// Tells the service manager (systemd, Type=notify) when the host is ready and, while every link
// makes progress, feeds its watchdog. Without a service manager (no NOTIFY_SOCKET) it does
// nothing.
class ServiceWatchdog {
  public:
    explicit ServiceWatchdog(const LinkProgress& progress);
    ~ServiceWatchdog();
    void stopping();

    ServiceWatchdog(const ServiceWatchdog&) = delete;
    ServiceWatchdog& operator=(const ServiceWatchdog&) = delete;

  private:
    void run();
    const LinkProgress& progress_;
    std::chrono::microseconds watchdog_{0};  // 0: no watchdog asked for
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace kavren::host
