#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "apps/host/support/queue_worker.h"

namespace kavren::host {

// Lines for one file descriptor (standard output or standard error), written by a thread of
// their own, so that a reader who stops reading stalls nobody: while the queue is full, lines
// are dropped and counted, and the count is reported once output moves again. A reader that
// went away (EPIPE) and an output that fails (ENOSPC, EIO) are told apart.
class LineOutput {
  public:
    enum class State { writing, closed, failed };
    // Told, on the writer's thread, when lines were dropped (their number) or the output ended
    // (its state and reason). Must not block.
    struct Events {
        std::function<void(uint64_t dropped)> lines_dropped;
        std::function<void(State state, const std::string& reason)> ended;
    };

    LineOutput(int fd, std::size_t bound, Events events);
    ~LineOutput();

    // Never blocks; false when the line was dropped.
    bool write_line(std::string line);
    // Writes what is queued while the reader keeps up, at most until the deadline, then ends
    // the thread. Lines still queued then are counted as dropped.
    void finish(std::chrono::steady_clock::time_point deadline);

    State state() const { return state_.load(); }
    uint64_t dropped() const { return dropped_total_.load(); }

    LineOutput(const LineOutput&) = delete;
    LineOutput& operator=(const LineOutput&) = delete;

  private:
    void run();
    // Writes all of `text`; false when the output ended or the deadline passed.
    bool write_all(const std::string& text);

    int fd_;
    Events events_;
    std::atomic<uint64_t> dropped_since_report_{0};
    std::atomic<uint64_t> dropped_total_{0};
    std::atomic<State> state_{State::writing};
    QueueWorker<std::string> worker_;
};

}  // namespace kavren::host
