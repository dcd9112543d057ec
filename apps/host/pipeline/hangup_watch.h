#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kavren::host {

// Answers SIGHUP, which asks a daemon to re-read its configuration: the host does not, and says
// so in the log, once for each signal, and goes on as it was.
class HangupWatch {
  public:
    explicit HangupWatch(std::function<void(const std::string&)> log);
    ~HangupWatch();

    HangupWatch(const HangupWatch&) = delete;
    HangupWatch& operator=(const HangupWatch&) = delete;

  private:
    void run();
    std::function<void(const std::string&)> log_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace kavren::host
