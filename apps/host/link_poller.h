#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "apps/host/host_config.h"
#include "apps/host/meter_services.h"
#include "apps/host/modbus_link.h"
#include "apps/host/poll_schedule.h"
#include "host/sp_modbus.h"

namespace kavren::host {

struct LinkStats {
    uint64_t requests = 0;
    uint64_t errors[kReadOutcomeCount] = {};  // by ReadOutcome; [ok] stays 0
    uint64_t rounds_complete = 0;
    uint64_t rounds_failed = 0;
    double last_round_ms = 0.0;
    uint64_t error_total() const;
};

// One meter on a link: its driver object, the host's services for it, its statistics.
struct MeterSlot {
    MeterConfig config;
    std::string link_name;
    std::unique_ptr<MeterServices> services;
    std::unique_ptr<SPModbus> device;  // destroyed before its services
    LinkStats stats;
    MeterHealth health;
    long round = 0;
};

struct RoundOutcome {
    bool complete = false;
    ReadOutcome failure = ReadOutcome::ok;
    std::string detail;
    int failed_start = 0;
    int failed_count = 0;
};

// What every link shares: one lock around every call into a driver object and the output.
struct PollContext {
    std::mutex plugin_calls;
    std::function<void(MeterSlot&, const RoundOutcome&)> report;  // called with the lock held
    std::function<void(const std::string&)> log;
    uint32_t offline_after = 3;
    Clock::duration interval{};
    Clock::duration max_backoff{};
    long rounds = 0;  // 0: until stopped
};

// Polls the meters of one link, one after another, every interval, on its own thread.
class LinkPoller {
  public:
    LinkPoller(const LinkConfig& config, std::vector<MeterSlot*> meters, PollContext& context);
    void run();
    // One round of one meter; public for tests.
    RoundOutcome poll_round(MeterSlot& meter);

  private:
    ModbusLink link_;
    std::vector<MeterSlot*> meters_;
    PollContext& context_;
    bool link_was_down_ = false;
};

}  // namespace kavren::host
