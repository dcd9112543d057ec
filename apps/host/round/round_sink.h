#pragma once

#include <chrono>
#include <string>

#include "apps/host/round/round_result.h"

namespace kavren::host {

// A consumer of stored rounds, as the pipeline runs it: started before the first round, handed
// every committed batch in order, finished at the end. take() is called on the history's thread
// and never blocks: a sink queues what it is given and does its work on its own thread, so that
// a sink that stalls loses only what its own queue cannot hold.
class RoundSink {
  public:
    virtual ~RoundSink() = default;

    // How the sink is named in the run's report ("console", "mqtt", "http").
    virtual const char* name() const = 0;
    virtual void start() {}
    virtual void take(const StoredBatch& batch) = 0;
    // Does what is left of its work until the deadline (a sink that must say goodbye, to a
    // reader or a broker, takes the short least time it needs even when the deadline is
    // nearer), then ends its thread.
    virtual void finish(std::chrono::steady_clock::time_point deadline) { (void)deadline; }
    // Its part of the run's last log line, which says what the run stored; empty: none.
    virtual std::string summary() const { return {}; }
    // Whether it failed in a way that fails the run.
    virtual bool failed() const { return false; }
};

}  // namespace kavren::host
