#include "apps/host/sinks/http/live_meters.h"

namespace kavren::host {

bool MeterView::online() const {
    return latest && latest->result->origin == RoundResult::Origin::round &&
           !latest->result->offline;
}

bool MeterView::fresh(int64_t now_ms, int64_t fresh_for_ms) const {
    return online() && last_complete && now_ms - last_complete->result->unix_ms <= fresh_for_ms;
}

LiveMeters::LiveMeters(std::vector<MeterIdentity> meters) {
    for (MeterIdentity& m : meters) {
        MeterView view;
        view.name = std::move(m.name);
        view.unit = m.unit;
        view.link = std::move(m.link);
        view.active_alarms = std::move(m.active_alarms);
        meters_.push_back(std::move(view));
    }
}

void LiveMeters::take(const StoredBatch& batch) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& round : batch) {
        const RoundResult& r = *round->result;
        if (r.meter_index >= meters_.size()) continue;
        MeterView& m = meters_[r.meter_index];
        m.latest = round;
        m.active_alarms = round->active_alarms;
        ++sequence_;
        if (r.origin != RoundResult::Origin::round) continue;
        if (!r.outcome.complete) {
            ++m.rounds[static_cast<int>(r.outcome.failure)];
            continue;
        }
        ++m.rounds[0];
        m.last_complete = round;
        const double seconds = r.stats.last_round_ms / 1000.0;
        for (std::size_t b = 0; b < kRoundDurationBuckets.size(); ++b)
            if (seconds <= kRoundDurationBuckets[b]) ++m.duration_buckets[b];
        m.duration_sum_s += seconds;
        ++m.duration_count;
    }
}

std::vector<MeterView> LiveMeters::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return meters_;
}

bool LiveMeters::meter(const std::string& name, MeterView& view) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const MeterView& m : meters_) {
        if (m.name == name) {
            view = m;
            return true;
        }
    }
    return false;
}

uint64_t LiveMeters::sequence() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sequence_;
}

}  // namespace kavren::host
