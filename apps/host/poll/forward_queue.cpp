#include "apps/host/poll/forward_queue.h"

#include <algorithm>

namespace kavren::host {

void ForwardQueue::on_done(std::function<void()> wake) {
    std::lock_guard<std::mutex> hold(lock_);
    wake_ = std::move(wake);
}

void ForwardQueue::on_arrival(std::function<void()> wake) {
    std::lock_guard<std::mutex> hold(lock_);
    arrival_ = std::move(wake);
}

ForwardQueue::Offer ForwardQueue::offer(std::unique_ptr<ForwardedRequest> request) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (closed_) return Offer::closed;
        if (waiting_.size() >= capacity_) return Offer::full;
        waiting_.push_back(std::move(request));
        if (arrival_) arrival_();
    }
    arrived_.notify_one();
    return Offer::queued;
}

std::vector<std::unique_ptr<ForwardedRequest>> ForwardQueue::take_done() {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<std::unique_ptr<ForwardedRequest>> done;
    done.swap(done_);
    return done;
}

void ForwardQueue::withdraw(uint64_t ticket) {
    std::lock_guard<std::mutex> hold(lock_);
    waiting_.erase(std::remove_if(waiting_.begin(), waiting_.end(),
                                  [ticket](const std::unique_ptr<ForwardedRequest>& r) {
                                      return r->ticket == ticket;
                                  }),
                   waiting_.end());
}

std::unique_ptr<ForwardedRequest> ForwardQueue::next() {
    std::lock_guard<std::mutex> hold(lock_);
    if (waiting_.empty()) return nullptr;
    std::unique_ptr<ForwardedRequest> request = std::move(waiting_.front());
    waiting_.pop_front();
    return request;
}

bool ForwardQueue::wait(Clock::time_point until) {
    std::unique_lock<std::mutex> hold(lock_);
    return arrived_.wait_until(hold, until, [this] { return !waiting_.empty(); });
}

void ForwardQueue::finished(std::unique_ptr<ForwardedRequest> request) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        done_.push_back(std::move(request));
    }
    wake_gateway();
}

void ForwardQueue::close() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        closed_ = true;
        for (auto& request : waiting_) {
            request->outcome = ReadOutcome::connection_lost;
            request->error = "the host is stopping";
            done_.push_back(std::move(request));
        }
        waiting_.clear();
    }
    wake_gateway();
}

void ForwardQueue::wake_gateway() {
    // Called under the lock: once on_done() has returned, no earlier wake can still run.
    std::lock_guard<std::mutex> hold(lock_);
    if (wake_) wake_();
}

}  // namespace kavren::host
