#include "apps/host/sinks/http/reply_deadlines.h"

#include <sys/socket.h>

namespace kavren::host {

ReplyDeadlines::ReplyDeadlines(Log log) : log_(std::move(log)), thread_([this] { run(); }) {}

ReplyDeadlines::~ReplyDeadlines() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void ReplyDeadlines::arm(const void* connection, int fd, Clock::time_point deadline,
                         const std::string& who) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        armed_[connection] = Armed{fd, deadline, who, false};
    }
    wake_.notify_all();
}

void ReplyDeadlines::disarm(const void* connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    armed_.erase(connection);
}

void ReplyDeadlines::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        auto next = Clock::time_point::max();
        const auto now = Clock::now();
        for (auto& entry : armed_) {
            Armed& a = entry.second;
            if (a.cut) continue;
            if (a.deadline > now) {
                next = std::min(next, a.deadline);
                continue;
            }
            // Shut, not closed: the server still owns the descriptor and closes it itself,
            // after disarm, so it cannot be another connection's by then.
            shutdown(a.fd, SHUT_RDWR);
            a.cut = true;
            if (log_) log_("http: connection from " + a.who + " cut at its deadline");
        }
        if (next == Clock::time_point::max()) {
            wake_.wait(lock);
        } else {
            wake_.wait_until(lock, next);
        }
    }
}

}  // namespace kavren::host
