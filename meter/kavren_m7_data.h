#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "host/ttime.h"

// The meter record: published under data id 5169, stored as history and handed back from the
// cache as this raw 259-byte image. Packed, little-endian; offsets are part of the format.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the record is a little-endian image");

// The meter's limit definitions: six, each with its alarm bit.
constexpr int kLimitCount = 6;

#pragma pack(push, 1)

// One of the meter's six limit definitions: registers 272+5i to 276+5i.
struct LimitEntry {
    int16_t raw_first;  // first register, unchanged bits
    float value;        // second and third registers, signed 32-bit, high word first, / 100
    int16_t signal;     // fourth register: measurand code
    int16_t raw_last;   // fifth register, unchanged bits
};

struct KAVREN_M7_Data_t {
    uint32_t data_id;          // the device's data id, from the settings
    uint16_t reg0;             // register 0
    uint16_t meter_baud_rate;  // bit/s, from the baud code in register 1
    float ratio_1;             // registers 2-3 / 10000 (10000 when 0)
    float current_ratio;       // registers 4-5 / 10000 (10000 when 0); scales the currents
    uint8_t reg258_bit8;       // bits of register 258, 0 or 1
    uint8_t reg258_bit9;
    uint8_t reg258_bit10;
    uint8_t reg258_bit11;
    uint8_t reg258_bit0;
    uint8_t reg258_bit1;
    int16_t reg259;                    // register 259
    uint8_t limit_alarm[kLimitCount];  // bit i of register 262: limit i violated
    LimitEntry limits[kLimitCount];    // registers 272 to 301
    uint16_t reg308;                   // register 308
    float UA;                          // V, registers 4096 to 4103
    float UB;
    float UC;
    float UAverage_1;
    float UAB;
    float UBC;
    float UCA;
    float UAverage_2;
    float IA;  // A, registers 4104 to 4108, times current_ratio
    float IB;
    float IC;
    float IAverage_1;
    float ZeroCurrent;
    int16_t power_raw[12];  // registers 4109 to 4120, signed, unscaled
    float power_factor[4];  // registers 4121 to 4124, signed, 0.001 per count
    float frequency;        // Hz, register 4125
    float values_8192[8];   // register pairs from 8192, signed, 0.1 per count
    float values_8448[8];   // register pairs from 8448, signed, 0.1 per count
    TTime update_time;      // local time the last round completed
};

#pragma pack(pop)

static_assert(sizeof(LimitEntry) == 10, "limit entry is 10 packed bytes");
static_assert(offsetof(LimitEntry, value) == 2 && offsetof(LimitEntry, signal) == 6 &&
                  offsetof(LimitEntry, raw_last) == 8,
              "limit entry layout");

static_assert(sizeof(KAVREN_M7_Data_t) == 259, "the published record is 259 bytes");
static_assert(std::is_trivially_copyable<KAVREN_M7_Data_t>::value, "record is a raw image");
static_assert(offsetof(KAVREN_M7_Data_t, data_id) == 0, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, reg0) == 4, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, meter_baud_rate) == 6, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, ratio_1) == 8, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, current_ratio) == 12, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, reg258_bit8) == 16, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, reg258_bit9) == 17, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, reg258_bit10) == 18, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, reg258_bit11) == 19, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, reg258_bit0) == 20, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, reg258_bit1) == 21, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, reg259) == 22, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, limit_alarm) == 24, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, limits) == 30, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, limits) + sizeof(LimitEntry) +
                      offsetof(LimitEntry, value) ==
                  42,
              "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, reg308) == 90, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, UA) == 92, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, UB) == 96, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, UC) == 100, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, UAverage_1) == 104, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, UAB) == 108, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, UBC) == 112, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, UCA) == 116, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, UAverage_2) == 120, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, IA) == 124, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, IB) == 128, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, IC) == 132, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, IAverage_1) == 136, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, ZeroCurrent) == 140, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, power_raw) == 144, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, power_factor) == 168, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, frequency) == 184, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, values_8192) == 188, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, values_8448) == 220, "record layout");
static_assert(offsetof(KAVREN_M7_Data_t, update_time) == 252, "record layout");
