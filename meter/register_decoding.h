#pragma once

// How the meter's register words become record values. Every conversion rounds to nearest;
// the order of conversions below is what fixes the stored bits.
#include <cstdint>
#include <cstring>

namespace kavren {

// Register pairs are high word first: the lower-addressed register holds the high 16 bits.
inline uint32_t high_word_first_u32(uint16_t high, uint16_t low) {
    return (static_cast<uint32_t>(high) << 16) | low;
}

// The same pair as a two's-complement signed value.
inline int32_t high_word_first_i32(uint16_t high, uint16_t low) {
    const uint32_t bits = high_word_first_u32(high, low);
    int32_t value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// A register's bits as a two's-complement signed word.
inline int16_t signed_word(uint16_t word) {
    int16_t value;
    std::memcpy(&value, &word, sizeof value);
    return value;
}

// 1 when the bit is set (bit 0 is the least significant), else 0.
inline uint8_t bit_flag(uint16_t word, unsigned bit) {
    return static_cast<uint8_t>((word >> bit) & 1u);
}

// Line speed in bit/s for the meter's baud code; 0 for a code the meter does not define.
// 600 and 1200 come after 38400 in the meter's numbering.
inline uint16_t baud_rate_for_code(uint16_t code) {
    constexpr uint16_t kBaudRates[] = {2400, 4800, 9600, 19200, 38400, 600, 1200};
    return code < sizeof kBaudRates / sizeof kBaudRates[0] ? kBaudRates[code] : 0;
}

// Transformer ratio: the unsigned pair in single precision / 10000; a pair of 0 means 10000.
inline float ratio_from_pair(uint32_t pair) {
    if (pair == 0) return 10000.0f;
    return static_cast<float>(pair) / 10000.0f;
}

// Limit value: the signed pair in single precision / 100.
inline float limit_value_from_pair(int32_t pair) { return static_cast<float>(pair) / 100.0f; }

// 0.01 per count (volts, hertz): product in double, stored in single.
inline float centi_scaled(uint16_t word) {
    return static_cast<float>(static_cast<double>(word) * 0.01);
}

// Current: 0.001 A per count first, then times the current ratio, both in double.
inline float current_scaled(uint16_t word, float current_ratio) {
    return static_cast<float>(static_cast<double>(word) * 0.001 *
                              static_cast<double>(current_ratio));
}

// Signed word, 0.001 per count (power factor).
inline float signed_milli_scaled(uint16_t word) {
    return static_cast<float>(static_cast<double>(signed_word(word)) * 0.001);
}

// Signed pair, 0.1 per count. The pair is rounded to single precision first, so a magnitude
// above 2^24 loses its low bits before the scaling.
inline float signed_pair_deci_scaled(int32_t pair) {
    return static_cast<float>(static_cast<double>(static_cast<float>(pair)) * 0.1);
}

}  // namespace kavren
