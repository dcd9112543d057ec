#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace kavren::host {

// Counted down from the event loop's threads as tasks end; a thread outside the loop waits for
// all of them. The count goes down under the lock, so the waiter may destroy it once woken.
class DoneLatch {
  public:
    explicit DoneLatch(std::size_t count) : count_(count) {}
    void count_down() {
        std::lock_guard<std::mutex> hold(lock_);
        if (count_ > 0) --count_;
        zero_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> hold(lock_);
        zero_.wait(hold, [this] { return count_ == 0; });
    }

  private:
    std::mutex lock_;
    std::condition_variable zero_;
    std::size_t count_;
};

}  // namespace kavren::host
