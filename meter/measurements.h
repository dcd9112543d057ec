#pragma once

#include <cstddef>
#include <cstring>

#include "meter/kavren_m7_data.h"

namespace kavren {

// A measurement served by name: the name is the record field's, the value that field.
struct Measurement {
    const char* name;
    std::size_t offset;  // of its single-precision field in the record
    const char* unit;    // "V" or "A"
    const char* title;   // what it is, in English, for people (Home Assistant's entity names)
};

// The thirteen measurements Get_Value serves, in the order it compares the names.
inline constexpr Measurement kMeasurements[] = {
    {"UA", offsetof(KAVREN_M7_Data_t, UA), "V", "Phase A voltage"},
    {"UB", offsetof(KAVREN_M7_Data_t, UB), "V", "Phase B voltage"},
    {"UC", offsetof(KAVREN_M7_Data_t, UC), "V", "Phase C voltage"},
    {"UAverage_1", offsetof(KAVREN_M7_Data_t, UAverage_1), "V", "Average phase voltage"},
    {"UAB", offsetof(KAVREN_M7_Data_t, UAB), "V", "Line AB voltage"},
    {"UBC", offsetof(KAVREN_M7_Data_t, UBC), "V", "Line BC voltage"},
    {"UCA", offsetof(KAVREN_M7_Data_t, UCA), "V", "Line CA voltage"},
    {"UAverage_2", offsetof(KAVREN_M7_Data_t, UAverage_2), "V", "Average line voltage"},
    {"IA", offsetof(KAVREN_M7_Data_t, IA), "A", "Phase A current"},
    {"IB", offsetof(KAVREN_M7_Data_t, IB), "A", "Phase B current"},
    {"IC", offsetof(KAVREN_M7_Data_t, IC), "A", "Phase C current"},
    {"IAverage_1", offsetof(KAVREN_M7_Data_t, IAverage_1), "A", "Average current"},
    {"ZeroCurrent", offsetof(KAVREN_M7_Data_t, ZeroCurrent), "A", "Zero-sequence current"},
};
inline constexpr std::size_t kMeasurementCount = sizeof kMeasurements / sizeof kMeasurements[0];

// The single-precision field at `offset` of a record image: copied out, since the record is
// packed and its fields are not aligned.
inline float float_at(const void* record, std::size_t offset) {
    float value;
    std::memcpy(&value, static_cast<const unsigned char*>(record) + offset, sizeof value);
    return value;
}

// Limit `slot` (0 to 5) of a record image, copied out as float_at() copies a float.
inline LimitEntry limit_at(const void* record, int slot) {
    LimitEntry entry;
    std::memcpy(&entry,
                static_cast<const unsigned char*>(record) + offsetof(KAVREN_M7_Data_t, limits) +
                    static_cast<std::size_t>(slot) * sizeof(LimitEntry),
                sizeof entry);
    return entry;
}

// What a limit's measurand code (LimitEntry::signal) measures: a limit's value in the record is
// in `unit` (powers in kilo units, as the meter shows them); times `to_base`, in the base unit of
// its Prometheus metric.
struct LimitQuantity {
    const char* unit;    // "" for a plain ratio
    const char* metric;  // the Prometheus metric of such limits' values
    float to_base;
    const char* what;  // its help text
};
inline constexpr LimitQuantity kLimitQuantities[] = {
    {"", "kavren_limit_threshold_ratio", 1, "power factor"},
    {"Hz", "kavren_limit_threshold_hertz", 1, "frequency"},
    {"V", "kavren_limit_threshold_volts", 1, "phase or line voltage"},
    {"A", "kavren_limit_threshold_amperes", 1, "phase current"},
    {"kW", "kavren_limit_threshold_watts", 1000, "active power"},
    {"kvar", "kavren_limit_threshold_volt_amperes_reactive", 1000, "reactive power"},
    {"kVA", "kavren_limit_threshold_volt_amperes", 1000, "apparent power"},
};

// The quantity of a measurand code, or nullptr for a code the meter names no measurand for.
// By code: power factors A, B, C, total; frequency; phase voltages A, B, C; line voltages AB,
// BC, CA; phase currents A, B, C; active, reactive and apparent power, each A, B, C, total.
inline const LimitQuantity* limit_quantity(int code) {
    constexpr signed char kByCode[32] = {0, 0, 0,  0,  -1, -1, 1, 2, 2, 2, -1, 2, 2, 2, -1, 3,
                                         3, 3, -1, -1, 4,  4,  4, 4, 5, 5, 5,  5, 6, 6, 6,  6};
    if (code < 0 || code >= 32 || kByCode[code] < 0) return nullptr;
    return &kLimitQuantities[kByCode[code]];
}

}  // namespace kavren
