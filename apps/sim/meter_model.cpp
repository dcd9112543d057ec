#include "apps/sim/meter_model.h"

#include <cmath>
#include <stdexcept>

#include "apps/common/json_file.h"

namespace kavren::sim {

const RegisterBlock kServedBlocks[7] = {{0x0000, 6},  {0x0100, 7},  {0x0110, 30}, {0x0134, 1},
                                        {0x1000, 30}, {0x2000, 16}, {0x2100, 16}};

bool served_range(int start, int count) {
    for (const RegisterBlock& block : kServedBlocks) {
        if (start >= block.start && start + count <= block.start + block.count && count > 0)
            return true;
    }
    return false;
}

bool MeterModel::serves(int start, int count) const {
    if (served_range(start, count)) return true;
    if (count < 1) return false;
    for (int address = start; address < start + count; ++address)
        if (pinned_.count(address) == 0) return false;
    return true;
}

const MeterModel::Limit MeterModel::kLimits[6] = {
    {7, 20700},   // A 相电压 below 207.00 V
    {0, 99},      // A 相功率因数 above 0.99
    {15, 400},    // A 相电流 below 4.00 A
    {6, 4950},    // 频率 below 49.50 Hz
    {23, 100},    // 总相有功功率 below 1.00 kW
    {11, 36000},  // AB 线电压 below 360.00 V
};

namespace {
constexpr double kPi = 3.14159265358979323846;

uint16_t word_of(long value) {
    return static_cast<uint16_t>(static_cast<unsigned long>(value) & 0xFFFF);
}
long clamp_long(double v, double lo, double hi) {
    return std::lround(std::fmax(lo, std::fmin(hi, v)));
}

void put_pair(std::vector<uint16_t>& r, int address, long value) {
    const auto bits = static_cast<uint32_t>(value);
    r[address] = static_cast<uint16_t>(bits >> 16);  // high word first
    r[address + 1] = static_cast<uint16_t>(bits & 0xFFFF);
}
}  // namespace

MeterModel::MeterModel(int unit, int baud_code) : unit_(unit), baud_code_(baud_code) {
    advance_to(0);
}

void MeterModel::advance_to(double t) {
    const double shift = unit_ * 0.7;  // meters on one line do not move in step
    for (int k = 0; k < 3; ++k) {
        phase_voltage[k] = 230.0 + 2.5 * std::sin(2 * kPi * t / 37.0 + shift + k * 2.1);
        current[k] = 5.0 - 0.5 * k + 1.2 * std::sin(2 * kPi * t / 23.0 + shift + k * 1.3);
        power_factor[k] = 0.95 + 0.03 * std::sin(2 * kPi * t / 51.0 + k);
    }
    for (int k = 0; k < 3; ++k) {
        const double a = phase_voltage[k], b = phase_voltage[(k + 1) % 3];
        line_voltage[k] = std::sqrt(a * a + b * b + a * b);  // phases 120 degrees apart
    }
    zero_current = std::fabs(current[0] + current[1] + current[2] - 3 * 4.5) * 0.02;
    frequency = 50.0 + 0.04 * std::sin(2 * kPi * t / 61.0 + shift);
    double p_total = 0, q_total = 0, s_total = 0;
    for (int k = 0; k < 3; ++k) {
        apparent_power_kva[k] = phase_voltage[k] * current[k] / 1000.0;
        active_power_kw[k] = apparent_power_kva[k] * power_factor[k];
        reactive_power_kvar[k] =
            apparent_power_kva[k] * std::sqrt(1 - power_factor[k] * power_factor[k]);
        p_total += active_power_kw[k];
        q_total += reactive_power_kvar[k];
        s_total += apparent_power_kva[k];
    }
    active_power_kw[3] = p_total;
    reactive_power_kvar[3] = q_total;
    apparent_power_kva[3] = s_total;
    power_factor[3] = s_total > 0 ? p_total / s_total : 1.0;
    // Energy grows with the mean power of the model (about 3.4 kW, 1 kvar).
    const double hours = t / 3600.0;
    energy_kwh[0] = 12345.6 + 3.4 * hours;
    for (int k = 1; k < 4; ++k) energy_kwh[k] = 4115.2 + 1.13 * hours;
    energy_kwh[4] = 3021.7 + 1.0 * hours;
    for (int k = 5; k < 8; ++k) energy_kwh[k] = 1007.2 + 0.33 * hours;
    for (int k = 0; k < 4; ++k) demand_kw[k] = k == 0 ? p_total : active_power_kw[k - 1];
    for (int k = 4; k < 8; ++k)
        demand_kw[k] = -(k == 4 ? q_total : reactive_power_kvar[k - 5]) * 0.1;
}

double MeterModel::measurand(int code) const {
    if (code >= 0 && code <= 3) return power_factor[code];
    if (code == 6) return frequency;
    if (code >= 7 && code <= 9) return phase_voltage[code - 7];
    if (code >= 11 && code <= 13) return line_voltage[code - 11];
    if (code >= 15 && code <= 17) return current[code - 15];
    if (code >= 20 && code <= 23) return active_power_kw[code - 20];
    if (code >= 24 && code <= 27) return reactive_power_kvar[code - 24];
    if (code >= 28 && code <= 31) return apparent_power_kva[code - 28];
    return 0.0;
}

uint16_t MeterModel::alarm_bits() const {
    uint16_t bits = 0;
    for (int i = 0; i < 6; ++i) {
        const double limit = kLimits[i].raw_value / 100.0;
        const double value = measurand(kLimits[i].code);
        const bool violated = kLimits[i].code == 0 ? value > limit : value < limit;
        if (violated) bits = static_cast<uint16_t>(bits | (1u << i));
    }
    return bits;
}

void MeterModel::fill(std::vector<uint16_t>& r) const {
    r.assign(kRegisterSpace, 0);
    // Setup: register 0 holds the meter's address; ratios 1.0.
    r[0] = static_cast<uint16_t>(unit_);
    r[1] = static_cast<uint16_t>(baud_code_);
    put_pair(r, 2, 10000);
    put_pair(r, 4, 10000);
    // Status.
    r[258] = 0x0303;
    r[259] = 0;
    r[262] = alarm_bits();
    // Limits: enabled flag, value, measurand code, delay in seconds.
    for (int i = 0; i < 6; ++i) {
        const int base = 272 + 5 * i;
        r[base] = 1;
        put_pair(r, base + 1, kLimits[i].raw_value);
        r[base + 3] = word_of(kLimits[i].code);
        r[base + 4] = 5;
    }
    r[308] = 0x0001;
    // Measurements: 0.01 V, 0.001 A (current ratio 1), 0.01 kW/kvar/kVA, 0.001, 0.01 Hz.
    for (int k = 0; k < 3; ++k) r[4096 + k] = word_of(clamp_long(phase_voltage[k] * 100, 0, 65535));
    r[4099] = word_of(
        clamp_long((phase_voltage[0] + phase_voltage[1] + phase_voltage[2]) / 3 * 100, 0, 65535));
    for (int k = 0; k < 3; ++k) r[4100 + k] = word_of(clamp_long(line_voltage[k] * 100, 0, 65535));
    r[4103] = word_of(
        clamp_long((line_voltage[0] + line_voltage[1] + line_voltage[2]) / 3 * 100, 0, 65535));
    for (int k = 0; k < 3; ++k) r[4104 + k] = word_of(clamp_long(current[k] * 1000, 0, 65535));
    r[4107] = word_of(clamp_long((current[0] + current[1] + current[2]) / 3 * 1000, 0, 65535));
    r[4108] = word_of(clamp_long(zero_current * 1000, 0, 65535));
    for (int k = 0; k < 4; ++k) {
        r[4109 + k] = word_of(clamp_long(active_power_kw[k] * 100, -32768, 32767));
        r[4113 + k] = word_of(clamp_long(reactive_power_kvar[k] * 100, -32768, 32767));
        r[4117 + k] = word_of(clamp_long(apparent_power_kva[k] * 100, -32768, 32767));
        r[4121 + k] = word_of(clamp_long(power_factor[k] * 1000, -1000, 1000));
    }
    r[4125] = word_of(clamp_long(frequency * 100, 0, 65535));
    // Energy and demand: signed pairs, 0.1 per count.
    for (int k = 0; k < 8; ++k) {
        put_pair(r, 8192 + 2 * k, clamp_long(energy_kwh[k] * 10, -2147483648.0, 2147483647.0));
        put_pair(r, 8448 + 2 * k, clamp_long(demand_kw[k] * 10, -2147483648.0, 2147483647.0));
    }
    for (const auto& pinned : pinned_) r[pinned.first] = pinned.second;
}

std::map<int, uint16_t> read_register_file(const std::string& path) {
    const Json::Value root = app::read_json_file(path);
    if (!root.isObject())
        throw std::runtime_error(path + ": expected an object of \"address\": value");
    std::map<int, uint16_t> pinned;
    for (auto it = root.begin(); it != root.end(); ++it) {
        const std::string key = it.name();
        std::size_t used = 0;
        long address = -1;
        try {
            address = std::stol(key, &used, 0);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used != key.size() || address < 0 || address >= kRegisterSpace) {
            throw std::runtime_error(path + ": bad register address '" + key + "'");
        }
        if (!it->isIntegral() || it->asInt64() < -32768 || it->asInt64() > 65535) {
            throw std::runtime_error(path + ": register " + key +
                                     " needs a value from -32768 to 65535");
        }
        pinned[static_cast<int>(address)] = word_of(static_cast<long>(it->asInt64()));
    }
    return pinned;
}

}  // namespace kavren::sim
