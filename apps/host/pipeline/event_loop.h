#pragma once

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "apps/host/support/asio_coro.h"

namespace kavren::host {

// The host's one event loop: an io_context run by a few threads, however many links and meters
// there are. The links' pollers, their timers, the signals and the HTTP server all run on it,
// each link on a strand of its own.
class EventLoop {
  public:
    using Log = std::function<void(const std::string&)>;
    // Runs the loop on `threads` threads until destroyed; what a handler throws is logged.
    EventLoop(unsigned threads, Log log);
    // Stops the loop and waits for its threads. What is still on it is dropped.
    ~EventLoop();

    asio::io_context& io() { return io_; }
    // The threads for a machine: a few, never more than four.
    static unsigned threads_for_machine();

    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

  private:
    void run();
    Log log_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    std::vector<std::thread> threads_;
};

}  // namespace kavren::host
