#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <modbus/modbus.h>

#include "apps/sim/fault_plan.h"
#include "apps/sim/meter_model.h"
#include "apps/sim/pty_line.h"

namespace kavren::sim {

// Answers requests for one or more simulated meters (one per unit id) on a libmodbus context.
class MeterServer {
  public:
    struct Settings {
        int baud_code = 2;
        int turnaround_ms = 0;
        int delay_ms = 3000;
        std::string registers_file;  // re-read whenever it changes
        std::string requests_file;   // the number of requests so far, written after each
    };

    MeterServer(modbus_t* context, const std::vector<int>& units, Settings settings,
                FaultPlan faults, PtyLine* line);

    // Answers one received request; false when the connection is to be closed instead.
    bool answer(const uint8_t* query, int length);

    uint64_t requests() const { return requests_; }

    MeterServer(const MeterServer&) = delete;
    MeterServer& operator=(const MeterServer&) = delete;

  private:
    void reload_registers_if_changed();
    // The meter's answer to a request (its registers, or the exception a meter gives).
    void reply(MeterModel& meter, Fault fault, const uint8_t* query, int length);

    modbus_t* context_;
    std::map<int, MeterModel> meters_;
    Settings settings_;
    FaultPlan faults_;
    PtyLine* line_;
    struct MappingFree {
        void operator()(modbus_mapping_t* m) const { modbus_mapping_free(m); }
    };
    std::unique_ptr<modbus_mapping_t, MappingFree> mapping_;
    std::vector<uint16_t> registers_;
    uint64_t requests_ = 0;
    std::chrono::steady_clock::time_point started_;
    long long registers_mtime_ = -1;
};

}  // namespace kavren::sim
