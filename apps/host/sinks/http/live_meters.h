#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "apps/host/round/alarm_book.h"
#include "apps/host/round/round_result.h"

namespace kavren::host {

// Upper bounds (seconds) of the round-duration histogram's buckets; +Inf is implied. From 0.1 ms
// (a round over TCP to a simulator on the same machine; a gateway on the network takes about a
// millisecond) to 60 s (seven reads at 9600 bit/s take about 0.3 s; a slow line with long
// time-outs, seconds), about three per decade.
inline constexpr std::array<double, 18> kRoundDurationBuckets = {
    0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
    0.1,    0.25,    0.5,    1.0,   2.5,    5.0,   10.0, 30.0,  60.0};

// What the page, the metrics and the API know of one meter: its newest rounds and counts of
// the rounds it made. Copied out of the sink, so readers never hold its lock while they work.
struct MeterView {
    std::string name;
    int unit = 0;
    std::string link;
    std::shared_ptr<const StoredRound> latest;         // newest round of any kind
    std::shared_ptr<const StoredRound> last_complete;  // newest complete polled round
    std::map<std::string, AlarmBook::Alarm> active_alarms;
    // Polled rounds by outcome: [0] complete, [k] failed with ReadOutcome k.
    uint64_t rounds[kReadOutcomeCount] = {};
    // Complete rounds by duration: cumulative counts per bucket, then the sum and count.
    uint64_t duration_buckets[kRoundDurationBuckets.size()] = {};
    double duration_sum_s = 0.0;
    uint64_t duration_count = 0;

    // A polled round came, and the meter is not offline.
    bool online() const;
    // The last complete round is recent enough to stand for the meter now.
    bool fresh(int64_t now_ms, int64_t fresh_for_ms) const;
};

struct MeterIdentity {
    std::string name;
    int unit = 0;
    std::string link;
    std::map<std::string, AlarmBook::Alarm> active_alarms;  // as the history holds them
};

// What the HTTP server shows: each meter's newest rounds and its counts. take() only swaps
// pointers and adds to counters under a short lock.
class LiveMeters {
  public:
    explicit LiveMeters(std::vector<MeterIdentity> meters);

    void take(const StoredBatch& batch);

    std::vector<MeterView> snapshot() const;
    // One meter's view; false when there is no meter of that name.
    bool meter(const std::string& name, MeterView& view) const;
    // Rounds taken so far: changes whenever anything shown changes.
    uint64_t sequence() const;

  private:
    mutable std::mutex mutex_;
    std::vector<MeterView> meters_;
    uint64_t sequence_ = 0;
};

}  // namespace kavren::host
