#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace kavren::host {

// Connections past their deadline, cut: a thread shuts down (both ways) the socket of every
// connection still armed when its time is up, so a client that does not take its reply, or
// keeps sending after it, frees the worker serving it at the deadline.
class ReplyDeadlines {
  public:
    using Clock = std::chrono::steady_clock;
    using Log = std::function<void(const std::string&)>;

    explicit ReplyDeadlines(Log log);
    ~ReplyDeadlines();

    // `connection` (any key of the caller's, one per connection) with its socket `fd` is cut
    // at `deadline`; `who` names the client in the log line. Arming again moves the deadline.
    void arm(const void* connection, int fd, Clock::time_point deadline, const std::string& who);
    // Before the socket is closed: never touched again after this returns.
    void disarm(const void* connection);

    ReplyDeadlines(const ReplyDeadlines&) = delete;
    ReplyDeadlines& operator=(const ReplyDeadlines&) = delete;

  private:
    struct Armed {
        int fd = -1;
        Clock::time_point deadline;
        std::string who;
        bool cut = false;
    };
    void run();

    Log log_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<const void*, Armed> armed_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace kavren::host
