#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "apps/host/support/bounded_queue.h"
#include "apps/host/support/steady_ns.h"

namespace kavren::host {

// A thread of its own fed through a bounded queue, and how it ends: finish(deadline) closes the
// queue (and calls `wake`, for a thread that waits on something else than the queue) and waits
// for the thread, which sees the deadline through out_of_time() and ends by it.
// Its owner declares it as its last member, so that its destructor (a finish at once) ends the
// thread before any other member of the owner goes.
template <typename T>
class QueueWorker {
  public:
    explicit QueueWorker(std::size_t bound) : queue_(bound) {}
    ~QueueWorker() { finish(std::chrono::steady_clock::now()); }

    void start(std::function<void()> body, std::function<void()> wake = nullptr) {
        wake_ = std::move(wake);
        thread_ = std::thread(std::move(body));
    }
    bool running() const { return thread_.joinable(); }
    // No more items are taken; the thread gets until the deadline, then is waited for.
    void finish(std::chrono::steady_clock::time_point deadline) {
        deadline_ns_.store(steady_ns(deadline));
        finishing_.store(true);
        queue_.close();
        if (wake_) wake_();
        if (thread_.joinable()) thread_.join();
    }

    BoundedQueue<T>& queue() { return queue_; }
    const BoundedQueue<T>& queue() const { return queue_; }
    bool finishing() const { return finishing_.load(); }
    // Finishing, and its deadline has passed.
    bool out_of_time() const { return finishing() && steady_now_ns() > deadline_ns_.load(); }
    int64_t deadline_ns() const { return deadline_ns_.load(); }
    std::chrono::steady_clock::time_point deadline() const {
        return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline_ns()));
    }

    QueueWorker(const QueueWorker&) = delete;
    QueueWorker& operator=(const QueueWorker&) = delete;

  private:
    BoundedQueue<T> queue_;
    std::atomic<bool> finishing_{false};
    std::atomic<int64_t> deadline_ns_{0};
    std::function<void()> wake_;
    std::thread thread_;
};

}  // namespace kavren::host
