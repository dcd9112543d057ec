#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "apps/host/round/alarm_book.h"
#include "apps/host/round/read_outcome.h"
#include "meter/measurements.h"
#include "runtime/host_backend.h"

namespace kavren::host {

// A meter's link statistics, counted by its link thread.
struct LinkStats {
    uint64_t requests = 0;
    uint64_t errors[kReadOutcomeCount] = {};  // by ReadOutcome; [ok] stays 0
    uint64_t rounds_complete = 0;
    uint64_t rounds_failed = 0;
    double last_round_ms = 0.0;
    int last_exception = -1;   // code of the meter's last exception reply; -1: none yet
    uint64_t noise_bytes = 0;  // stray bytes drained from its link before requests, link-wide
    uint64_t error_total() const {
        uint64_t total = 0;
        for (uint64_t e : errors) total += e;
        return total;
    }
};

// How a round ended.
struct RoundOutcome {
    bool complete = false;
    ReadOutcome failure = ReadOutcome::ok;
    std::string detail;
    int failed_start = 0;
    int failed_count = 0;
};

// A measurement as the driver served it: its value, or its refusal text.
struct ServedValue {
    bool served = false;
    float value = 0.0f;
    std::string refusal;
};

// Everything one round produced, made once by the link thread and never changed after: each
// sink reads the same object.
struct RoundResult {
    enum class Origin { round, restore };
    Origin origin = Origin::round;
    std::size_t meter_index = 0;  // the meter's place among the configured meters
    std::string meter;            // its name
    int unit = 0;
    std::string link;
    uint32_t data_id = 0;
    long round = 0;       // attempt number, from 1
    std::string time;     // local time the round ended, "YYYY-MM-DD HH:MM:SS"
    int64_t unix_ms = 0;  // the same instant, for sinks that keep time as a number
    RoundOutcome outcome;
    std::vector<uint8_t> record;  // the published record (complete rounds and restores)
    // A restore: the stored record's own time, and the instant it was stored at (0: not known).
    // The driver stamps the restored copy anew.
    std::string stored_record_time;
    int64_t stored_record_ms = 0;
    ServedValue values[kMeasurementCount];
    std::vector<LimitReport> limit_reports;
    LinkStats stats;
    bool offline = false;

    bool has_record() const { return outcome.complete && !record.empty(); }
};

// An alarm raised or cleared by a round.
struct AlarmChange {
    std::string key;
    bool raised = false;
    std::string description;
};

// A round after the history judged it: the row it is stored as (0 when it stores none: a failed
// round), the alarm changes stored with it and the meter's active alarms after them.
struct StoredRound {
    std::shared_ptr<const RoundResult> result;
    int64_t history_id = 0;
    std::vector<AlarmChange> alarm_changes;
    std::map<std::string, AlarmBook::Alarm> active_alarms;
};

using StoredBatch = std::vector<std::shared_ptr<const StoredRound>>;

}  // namespace kavren::host
