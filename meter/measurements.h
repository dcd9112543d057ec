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
};

// The thirteen measurements Get_Value serves, in the order it compares the names.
inline constexpr Measurement kMeasurements[] = {
    {"UA", offsetof(KAVREN_M7_Data_t, UA), "V"},
    {"UB", offsetof(KAVREN_M7_Data_t, UB), "V"},
    {"UC", offsetof(KAVREN_M7_Data_t, UC), "V"},
    {"UAverage_1", offsetof(KAVREN_M7_Data_t, UAverage_1), "V"},
    {"UAB", offsetof(KAVREN_M7_Data_t, UAB), "V"},
    {"UBC", offsetof(KAVREN_M7_Data_t, UBC), "V"},
    {"UCA", offsetof(KAVREN_M7_Data_t, UCA), "V"},
    {"UAverage_2", offsetof(KAVREN_M7_Data_t, UAverage_2), "V"},
    {"IA", offsetof(KAVREN_M7_Data_t, IA), "A"},
    {"IB", offsetof(KAVREN_M7_Data_t, IB), "A"},
    {"IC", offsetof(KAVREN_M7_Data_t, IC), "A"},
    {"IAverage_1", offsetof(KAVREN_M7_Data_t, IAverage_1), "A"},
    {"ZeroCurrent", offsetof(KAVREN_M7_Data_t, ZeroCurrent), "A"},
};
inline constexpr std::size_t kMeasurementCount = sizeof kMeasurements / sizeof kMeasurements[0];

// The single-precision field at `offset` of a record image: copied out, since the record is
// packed and its fields are not aligned.
inline float float_at(const void* record, std::size_t offset) {
    float value;
    std::memcpy(&value, static_cast<const unsigned char*>(record) + offset, sizeof value);
    return value;
}

}  // namespace kavren
