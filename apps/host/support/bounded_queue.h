#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

namespace kavren::host {

// A queue between threads that never grows past its bound: a producer that finds it full is
// told so at once and never waits. The consumer takes everything queued in one go, so that a
// busy producer costs one wake-up per batch, not one per item.
template <typename T>
class BoundedQueue {
  public:
    explicit BoundedQueue(std::size_t bound) : bound_(bound) {}

    // False when the queue is full or closed: the item was not taken.
    bool try_push(T item) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (closed_ || items_.size() >= bound_) return false;
        items_.push_back(std::move(item));
        const bool wake = waiting_ && items_.size() == 1;
        lock.unlock();
        if (wake) ready_.notify_one();
        return true;
    }

    // Takes as many items as fit; returns how many were taken (the rest were not).
    template <typename Iterator>
    std::size_t try_push_all(Iterator first, Iterator last) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (closed_) return 0;
        const bool was_empty = items_.empty();
        std::size_t taken = 0;
        for (; first != last && items_.size() < bound_; ++first, ++taken) items_.push_back(*first);
        const bool wake = waiting_ && was_empty && taken > 0;
        lock.unlock();
        if (wake) ready_.notify_one();
        return taken;
    }

    // Waits until something is queued, the queue is closed or the time-out passes; then moves
    // everything queued into `out` (appended). False when the queue is closed and empty.
    bool pop_all(std::vector<T>& out, std::chrono::milliseconds timeout) {
        const std::size_t before = out.size();
        std::unique_lock<std::mutex> lock(mutex_);
        if (items_.empty() && !closed_ && !nudged_) {
            waiting_ = true;
            ready_.wait_for(lock, timeout, [&] { return !items_.empty() || closed_ || nudged_; });
            waiting_ = false;
        }
        nudged_ = false;
        for (auto& item : items_) out.push_back(std::move(item));
        items_.clear();
        return !(closed_ && out.size() == before);
    }

    // No more items are taken; the consumer gets what is queued, then false.
    void close() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        ready_.notify_all();
    }

    // The consumer's next (or present) wait in pop_all() returns at once, with what is queued.
    void nudge() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            nudged_ = true;
        }
        ready_.notify_all();
    }

    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_.size();
    }
    std::size_t bound() const { return bound_; }

  private:
    const std::size_t bound_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<T> items_;
    bool waiting_ = false;
    bool closed_ = false;
    bool nudged_ = false;
};

}  // namespace kavren::host
