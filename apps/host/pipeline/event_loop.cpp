#include "apps/host/pipeline/event_loop.h"

#include <algorithm>

namespace kavren::host {

EventLoop::EventLoop(unsigned threads, Log log)
    : log_(std::move(log)), io_(static_cast<int>(threads)), guard_(asio::make_work_guard(io_)) {
    for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
}

EventLoop::~EventLoop() {
    guard_.reset();
    io_.stop();
    for (std::thread& thread : threads_) thread.join();
}

unsigned EventLoop::threads_for_machine() {
    // The work is waiting on sockets: more threads than cores only add wake-ups.
    return std::clamp(std::thread::hardware_concurrency(), 2u, 4u);
}

void EventLoop::run() {
    for (;;) {
        try {
            io_.run();
            return;
        } catch (const std::exception& e) {
            if (log_) log_(std::string("event loop: ") + e.what());
        }
    }
}

}  // namespace kavren::host
