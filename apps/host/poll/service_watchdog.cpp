#include "apps/host/poll/service_watchdog.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>

namespace kavren::host {

namespace {

int64_t ns_of(LinkProgress::Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

}  // namespace

LinkProgress::LinkProgress(std::vector<Clock::duration> budgets, std::size_t capacity)
    : capacity_(std::max(capacity, budgets.size())),
      budgets_(new std::atomic<int64_t>[capacity_]),
      marks_(new std::atomic<int64_t>[capacity_]) {
    for (std::size_t i = 0; i < capacity_; ++i) {
        budgets_[i].store(i < budgets.size() ? std::chrono::nanoseconds(budgets[i]).count() : 0);
        marks_[i].store(0);
    }
}

void LinkProgress::watch(std::size_t link, Clock::duration budget) {
    if (link >= capacity_) return;
    marks_[link].store(0);
    budgets_[link].store(std::chrono::nanoseconds(budget).count());
}

void LinkProgress::unwatch(std::size_t link) {
    if (link < capacity_) budgets_[link].store(0);
}

void LinkProgress::mark(std::size_t link, Clock::time_point now) {
    if (link < capacity_) marks_[link].store(ns_of(now), std::memory_order_relaxed);
}

bool LinkProgress::all_attempted() const {
    for (std::size_t i = 0; i < capacity_; ++i) {
        if (budgets_[i].load() != 0 && marks_[i].load(std::memory_order_relaxed) == 0) return false;
    }
    return true;
}

bool LinkProgress::all_progressing(Clock::time_point now) const {
    for (std::size_t i = 0; i < capacity_; ++i) {
        const int64_t budget = budgets_[i].load();
        const int64_t mark = marks_[i].load(std::memory_order_relaxed);
        if (budget == 0 || mark == 0) continue;  // none, or judged once it has made an attempt
        if (ns_of(now) - mark > budget) return false;
    }
    return true;
}

void notify_reloading() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long usec = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    sd_notifyf(0, "RELOADING=1\nSTATUS=reloading the configuration\nMONOTONIC_USEC=%lld", usec);
}

void notify_reloaded() { sd_notify(0, "READY=1\nSTATUS=polling"); }

ServiceWatchdog::ServiceWatchdog(asio::io_context& io, const LinkProgress& progress)
    : progress_(progress), strand_(asio::make_strand(io)), timer_(strand_) {
    if (std::getenv("NOTIFY_SOCKET") == nullptr) return;  // no service manager
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) watchdog_ = std::chrono::microseconds(usec);
    ended_ = std::make_unique<DoneLatch>(1);
    asio::co_spawn(strand_, run(), [this](std::exception_ptr) { ended_->count_down(); });
}

ServiceWatchdog::~ServiceWatchdog() { stopping(); }

void ServiceWatchdog::stopping() {
    if (!ended_) return;
    asio::post(strand_, [this] {
        stop_ = true;
        timer_.cancel();
    });
    ended_->wait();
    ended_.reset();
    sd_notify(0, "STOPPING=1");
}

asio::awaitable<void> ServiceWatchdog::run() {
    bool ready = false;
    // The watchdog is fed at twice its rate, as systemd advises; the first check is soon.
    const auto tick =
        watchdog_.count() > 0
            ? std::min<std::chrono::microseconds>(watchdog_ / 2, std::chrono::milliseconds(100))
            : std::chrono::microseconds(std::chrono::milliseconds(100));
    auto next_feed = LinkProgress::Clock::now();
    while (!stop_) {
        const auto now = LinkProgress::Clock::now();
        if (!ready && progress_.all_attempted()) {
            sd_notify(0, "READY=1\nSTATUS=polling");
            ready = true;
        }
        if (ready && watchdog_.count() > 0 && now >= next_feed) {
            if (progress_.all_progressing(now)) {
                sd_notify(0, "WATCHDOG=1");
            }  // else: a link is stuck; systemd restarts the host when the watchdog runs out
            next_feed = now + watchdog_ / 2;
        }
        timer_.expires_after(tick);
        boost::system::error_code ec;
        co_await timer_.async_wait(into(ec));
    }
}

}  // namespace kavren::host
