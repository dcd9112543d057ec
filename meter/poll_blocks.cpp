// The meter's register map, one block per read of a poll round, each beside its decoder.
#include "meter/poll_blocks.h"

#include "meter/register_decoding.h"

namespace kavren {
namespace {

// Setup, registers 0 to 5.
//   word 0      register 0, copied
//   word 1      baud code: 0 2400, 1 4800, 2 9600, 3 19200, 4 38400, 5 600, 6 1200
//   words 2-3   ratio_1, unsigned pair, 1/10000 per count (0 means 10000)
//   words 4-5   current_ratio, same rule
// A captured reply (unit 1): 01 03 0C 00 01 00 02 00 00 27 10 00 00 4E 20 7D 80
//   register 0 = 1, 9600 bit/s, ratio_1 = 10000/10000 = 1.0, current_ratio = 20000/10000 = 2.0
void decode_setup(const uint16_t* w, KAVREN_M7_Data_t& r) {
    r.reg0 = w[0];
    const uint16_t baud = baud_rate_for_code(w[1]);
    if (baud != 0) r.meter_baud_rate = baud;  // an unknown code leaves the last known rate
    r.ratio_1 = ratio_from_pair(high_word_first_u32(w[2], w[3]));
    r.current_ratio = ratio_from_pair(high_word_first_u32(w[4], w[5]));
}

// Status, registers 256 to 262.
//   word 2      register 258: flags from bits 8, 9, 10, 11, 0, 1
//   word 3      register 259, signed
//   word 6      register 262: bit i raises the alarm of limit i (0 to 5)
//   words 0, 1, 4, 5 are not used
// A captured reply: 01 03 0E 00 00 00 00 0F 03 FF FF 00 00 00 00 00 25 4A 05
//   all six register-258 flags set, register 259 = -1, limits 0, 2 and 5 violated
void decode_status(const uint16_t* w, KAVREN_M7_Data_t& r) {
    r.reg258_bit8 = bit_flag(w[2], 8);
    r.reg258_bit9 = bit_flag(w[2], 9);
    r.reg258_bit10 = bit_flag(w[2], 10);
    r.reg258_bit11 = bit_flag(w[2], 11);
    r.reg258_bit0 = bit_flag(w[2], 0);
    r.reg258_bit1 = bit_flag(w[2], 1);
    r.reg259 = signed_word(w[3]);
    for (unsigned i = 0; i < 6; ++i) r.limit_alarm[i] = bit_flag(w[6], i);
}

// Limits, registers 272 to 301: six entries of five registers.
//   word 5i       raw_first, signed
//   words 5i+1-2  value, signed pair, 1/100 per count
//   word 5i+3     signal: measurand code
//   word 5i+4     raw_last, signed
// One entry as captured: 00 00 FF FF FF 9C 00 07 00 00 -> value -1.0, measurand 7 (A 相电压)
void decode_limits(const uint16_t* w, KAVREN_M7_Data_t& r) {
    for (unsigned i = 0; i < 6; ++i) {
        const uint16_t* entry = w + 5 * i;
        r.limits[i].raw_first = signed_word(entry[0]);
        r.limits[i].value = limit_value_from_pair(high_word_first_i32(entry[1], entry[2]));
        r.limits[i].signal = signed_word(entry[3]);
        r.limits[i].raw_last = signed_word(entry[4]);
    }
}

// Register 308, copied. A captured reply: 01 03 02 01 34 B8 03 (308 = 0x0134).
void decode_reg308(const uint16_t* w, KAVREN_M7_Data_t& r) { r.reg308 = w[0]; }

// Measurements, registers 4096 to 4125.
//   words 0-7    UA UB UC UAverage_1 UAB UBC UCA UAverage_2, unsigned, 0.01 V per count
//   words 8-12   IA IB IC IAverage_1 ZeroCurrent, unsigned, 0.001 A per count x current_ratio
//   words 13-24  power_raw, signed, unscaled
//   words 25-28  power_factor, signed, 0.001 per count
//   word 29      frequency, unsigned, 0.01 Hz per count
void decode_measurements(const uint16_t* w, KAVREN_M7_Data_t& r) {
    r.UA = centi_scaled(w[0]);
    r.UB = centi_scaled(w[1]);
    r.UC = centi_scaled(w[2]);
    r.UAverage_1 = centi_scaled(w[3]);
    r.UAB = centi_scaled(w[4]);
    r.UBC = centi_scaled(w[5]);
    r.UCA = centi_scaled(w[6]);
    r.UAverage_2 = centi_scaled(w[7]);
    // The ratio was read at the start of this same round.
    const float ratio = r.current_ratio;
    r.IA = current_scaled(w[8], ratio);
    r.IB = current_scaled(w[9], ratio);
    r.IC = current_scaled(w[10], ratio);
    r.IAverage_1 = current_scaled(w[11], ratio);
    r.ZeroCurrent = current_scaled(w[12], ratio);
    for (unsigned k = 0; k < 12; ++k) r.power_raw[k] = signed_word(w[13 + k]);
    for (unsigned k = 0; k < 4; ++k) r.power_factor[k] = signed_milli_scaled(w[25 + k]);
    r.frequency = centi_scaled(w[29]);
}

// Eight signed pairs, high word first, 0.1 per count: registers 8192 to 8207.
void decode_values_8192(const uint16_t* w, KAVREN_M7_Data_t& r) {
    for (unsigned k = 0; k < 8; ++k) {
        r.values_8192[k] = signed_pair_deci_scaled(high_word_first_i32(w[2 * k], w[2 * k + 1]));
    }
}

// Eight signed pairs, high word first, 0.1 per count: registers 8448 to 8463.
void decode_values_8448(const uint16_t* w, KAVREN_M7_Data_t& r) {
    for (unsigned k = 0; k < 8; ++k) {
        r.values_8448[k] = signed_pair_deci_scaled(high_word_first_i32(w[2 * k], w[2 * k + 1]));
    }
}

}  // namespace

// clang-format off
const PollBlock kPollRound[kPollBlockCount] = {
    // step  start   count  decoder
    {101,    0x0000,  6,    decode_setup},         // setup
    {102,    0x0100,  7,    decode_status},        // status and limit alarm bits
    {103,    0x0110, 30,    decode_limits},        // six limit definitions
    {104,    0x0134,  1,    decode_reg308},        // register 308
    {105,    0x1000, 30,    decode_measurements},  // voltages, currents, power, frequency
    {106,    0x2000, 16,    decode_values_8192},   // eight signed pairs
    {107,    0x2100, 16,    decode_values_8448},   // eight signed pairs
};
// clang-format on

const PollBlock* poll_block_for_step(int step) {
    if (step < kFirstPollStep || step > kLastPollStep) return nullptr;
    return &kPollRound[step - kFirstPollStep];
}

}  // namespace kavren
