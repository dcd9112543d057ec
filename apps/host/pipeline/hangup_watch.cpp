#include "apps/host/pipeline/hangup_watch.h"

#include <chrono>

#include "apps/common/stop_signal.h"

namespace kavren::host {

HangupWatch::HangupWatch(std::function<void(const std::string&)> log)
    : log_(std::move(log)), thread_([this] { run(); }) {}

HangupWatch::~HangupWatch() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void HangupWatch::run() {
    unsigned seen = 0;  // one that came during the start is answered too
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stop_; })) {
        const unsigned now = app::hangups();
        if (now == seen) continue;
        seen = now;
        log_(
            "SIGHUP: the configuration is not re-read while running; the host goes on as it "
            "started (restart it to apply a changed configuration)");
    }
}

}  // namespace kavren::host
