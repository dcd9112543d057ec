#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "apps/host/link/modbus_pdu.h"
#include "apps/host/round/read_outcome.h"

namespace kavren::host {

// A request of a gateway's client for a meter, carried by the link's poller.
struct ForwardedRequest {
    uint64_t ticket = 0;  // the gateway's: whose request it is
    int unit = 0;
    Bytes pdu;
    // Set by the link's poller: ok with the reply PDU (an exception reply included), or the
    // failure and why.
    ReadOutcome outcome = ReadOutcome::ok;
    Bytes reply;
    std::string error;
    bool carried = false;  // false: the link never sent it (the host is stopping)
};

// The requests a gateway hands to its link's poller, bounded: a request that finds it full is
// refused at once (the gateway answers "busy"), so that no number of clients makes polling
// wait. The link's poller takes one request at a time and hands it back done.
class ForwardQueue {
  public:
    using Clock = std::chrono::steady_clock;
    enum class Offer { queued, full, closed };

    explicit ForwardQueue(std::size_t capacity) : capacity_(capacity) {}
    // Called on the link's strand after each request is done (a gateway wakes its own thread
    // with it: it must not call back into the queue); nullptr: none.
    void on_done(std::function<void()> wake);
    // Called after each request is queued, under the queue's lock (the link's poller wakes with
    // it: it must not call back into the queue); nullptr: none. Once it has returned, no
    // earlier call can still run.
    void on_arrival(std::function<void()> wake);

    // The gateway's side.
    Offer offer(std::unique_ptr<ForwardedRequest> request);
    std::vector<std::unique_ptr<ForwardedRequest>> take_done();
    // The client went: its request, if it still waits, is dropped.
    void withdraw(uint64_t ticket);

    // The link poller's side: the next request without waiting (null when none waits), or a
    // wait for one until `until` (true once one waits).
    std::unique_ptr<ForwardedRequest> next();
    bool wait(Clock::time_point until);
    void finished(std::unique_ptr<ForwardedRequest> request);
    // The link's poller has ended: every waiting request is done without being carried, and
    // later ones are refused.
    void close();

    ForwardQueue(const ForwardQueue&) = delete;
    ForwardQueue& operator=(const ForwardQueue&) = delete;

  private:
    void wake_gateway();

    std::mutex lock_;
    std::condition_variable arrived_;
    std::deque<std::unique_ptr<ForwardedRequest>> waiting_;
    std::vector<std::unique_ptr<ForwardedRequest>> done_;
    std::size_t capacity_;
    bool closed_ = false;
    std::function<void()> wake_;
    std::function<void()> arrival_;
};

}  // namespace kavren::host
