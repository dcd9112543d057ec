#pragma once

#include <chrono>
#include <string>

#include "apps/host/support/line_output.h"

namespace kavren::host {

// The host's log on standard error: one line per event, with the local time. Any thread may
// log; nobody waits for standard error (see LineOutput).
class HostLog {
  public:
    explicit HostLog(int fd = 2);
    void operator()(const std::string& line);
    void finish(std::chrono::steady_clock::time_point deadline) { out_.finish(deadline); }

  private:
    LineOutput out_;
};

}  // namespace kavren::host
