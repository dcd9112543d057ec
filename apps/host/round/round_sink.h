#pragma once

#include <chrono>
#include <string>

#include "apps/host/round/round_result.h"

namespace kavren::host {

// A consumer of rounds, as the pipeline runs it: started before the first round, handed every
// round twice in order, finished at the end. take() gets a batch as soon as its rounds are
// complete and judged (their alarms and history ids known), for what shows the present: the
// console, the live row, /metrics, MQTT state. take_committed() gets the same rounds once their
// transaction is committed, up to commit_interval later, for what promises completeness (MQTT
// rounds with their backfill): a consumer that is told of a round there finds it in the history,
// also after the host is killed. Both are called on the history's thread and never block: a sink
// queues what it is given and does its work on its own thread, so that a sink that stalls loses
// only what its own queue cannot hold.
class RoundSink {
  public:
    virtual ~RoundSink() = default;

    // How the sink is named in the run's report ("console", "mqtt", "http").
    virtual const char* name() const = 0;
    virtual void start() {}
    virtual void take(const StoredBatch& batch) = 0;
    virtual void take_committed(const StoredBatch& batch) { (void)batch; }
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
