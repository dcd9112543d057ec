#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kavren::sim {

// Register space the meter answers in: addresses 0 to 8463.
constexpr int kRegisterSpace = 8464;

// A block of registers the meter serves.
struct RegisterBlock {
    int start;
    int count;
};
// The seven blocks the meter serves (106 registers); any other address is refused.
extern const RegisterBlock kServedBlocks[7];
bool served_range(int start, int count);

// A KAVREN_M7 as it behaves on the bench: three phases near 230 V with drifting currents, 50 Hz,
// power factors, growing energy counters, six limits with measurand codes, and limit alarm bits
// that follow the modelled values.
class MeterModel {
  public:
    MeterModel(int unit, int baud_code);

    // The meter's state `seconds` after the simulator started.
    void advance_to(double seconds);
    // All served registers, then the pinned ones over them.
    void fill(std::vector<uint16_t>& registers) const;
    // Registers the user pinned: they keep these values whatever the model does.
    void pin(const std::map<int, uint16_t>& pinned) { pinned_ = pinned; }
    // Whether a read of `count` registers from `start` is answered: one that lies in one of the
    // seven blocks, or whose every register is pinned (one of the meter's other registers, such
    // as a serial number, that the driver never reads).
    bool serves(int start, int count) const;

    // Modelled quantities, in the meter's units.
    double phase_voltage[3] = {};
    double line_voltage[3] = {};
    double current[3] = {};
    double zero_current = 0;
    double power_factor[4] = {};
    double frequency = 50.0;
    double active_power_kw[4] = {};
    double reactive_power_kvar[4] = {};
    double apparent_power_kva[4] = {};
    double energy_kwh[8] = {};
    double demand_kw[8] = {};

    struct Limit {
        int16_t code;       // measurand code
        int32_t raw_value;  // in 1/100 of the measurand's unit
    };
    // Limit i alarms when its measurand is above the limit (code 0) or below it (any other code).
    static const Limit kLimits[6];
    uint16_t alarm_bits() const;
    double measurand(int code) const;

  private:
    int unit_;
    int baud_code_;
    std::map<int, uint16_t> pinned_;
};

// Reads pinned registers from a JSON object of "address": value (address decimal or 0x hex,
// value 0 to 65535, or -32768 to -1 for a signed word). Throws std::runtime_error naming the file.
std::map<int, uint16_t> read_register_file(const std::string& path);

}  // namespace kavren::sim
