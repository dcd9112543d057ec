#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "apps/host/round/round_result.h"
#include "apps/host/support/line_output.h"

namespace kavren::host {

// The terminal sink: each stored round on standard output, as the readable view or as one
// JSON object per line. A reader that stops reading loses lines, never rounds: the lines dropped
// are counted and reported once output moves again. A reader that went away (EPIPE: `| head`)
// asks the host to end; an output that fails otherwise (ENOSPC) is logged and counted as a
// failure of the run.
class ConsoleSink : public RoundSink {
  public:
    using Log = std::function<void(const std::string&)>;
    ConsoleSink(int fd, bool json, Log log, std::function<void()> reader_gone);

    void take(const StoredBatch& batch) override;
    void finish(std::chrono::steady_clock::time_point deadline) { out_.finish(deadline); }

    bool failed() const { return out_.state() == LineOutput::State::failed; }
    uint64_t lines_dropped() const { return out_.dropped(); }

  private:
    bool json_;
    Log log_;
    std::function<void()> reader_gone_;
    LineOutput out_;
};

}  // namespace kavren::host
