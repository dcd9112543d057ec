#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace kavren::host {

// What the pipeline's own thread waits for while the links poll: every poller ended, or a reload
// asked for (SIGHUP, answered on the loop). A link a reload could not open (its poller not
// made) holds the run as a poller does, until a stop: the next reload may open it. Told from any
// thread.
class RunControl {
  public:
    enum class Event { reload, all_ended };

    void poller_started() {
        std::lock_guard<std::mutex> hold(lock_);
        ++running_;
    }
    void poller_ended() {
        std::lock_guard<std::mutex> hold(lock_);
        if (running_ > 0) --running_;
        woken_.notify_all();
    }
    void set_idle_links(std::size_t links) {
        std::lock_guard<std::mutex> hold(lock_);
        idle_ = links;
        woken_.notify_all();
    }
    void ask_stop() {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
        woken_.notify_all();
    }
    void ask_reload() {
        std::lock_guard<std::mutex> hold(lock_);
        reload_ = true;
        woken_.notify_all();
    }
    // A reload asked for comes first; it is asked for once however many signals came.
    Event wait() {
        std::unique_lock<std::mutex> hold(lock_);
        woken_.wait(hold,
                    [this] { return reload_ || (running_ == 0 && (idle_ == 0 || stopping_)); });
        if (!reload_) return Event::all_ended;
        reload_ = false;
        return Event::reload;
    }

  private:
    std::mutex lock_;
    std::condition_variable woken_;
    std::size_t running_ = 0;
    std::size_t idle_ = 0;
    bool stopping_ = false;
    bool reload_ = false;
};

}  // namespace kavren::host
