#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "apps/host/round/round_sink.h"
#include "apps/host/sinks/sink_context.h"
#include "apps/host/support/line_output.h"

namespace kavren::host {

// The terminal sink: each stored round on standard output, as the readable view or as one
// JSON object per line. A reader that stops reading loses lines, never rounds: the lines dropped
// are counted and reported once output moves again. A reader that went away (EPIPE: `| head`)
// asks the host to end; an output that fails otherwise (ENOSPC) is logged and fails the run.
class ConsoleSink final : public RoundSink {
  public:
    using Log = std::function<void(const std::string&)>;
    ConsoleSink(int fd, bool json, Log log, std::function<void()> reader_gone);

    const char* name() const override { return "console"; }
    void take(const StoredBatch& batch) override;
    // Writes what is queued while the reader keeps up, until the deadline (at least a moment).
    void finish(std::chrono::steady_clock::time_point deadline) override;
    // The lines that were not shown, unless the reader went away.
    std::string summary() const override;
    bool failed() const override { return out_.state() == LineOutput::State::failed; }

    uint64_t lines_dropped() const { return out_.dropped(); }

  private:
    bool json_;
    Log log_;
    std::function<void()> reader_gone_;
    LineOutput out_;
};

// The console sink on the context's output.
std::unique_ptr<RoundSink> make_console_sink(const SinkContext& context);

}  // namespace kavren::host
