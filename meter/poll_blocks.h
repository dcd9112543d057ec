#pragma once

#include <cstdint>

#include "meter/kavren_m7_data.h"

namespace kavren {

// Decodes the words of one reply (word k is register start + k) into the record.
using BlockDecoder = void (*)(const uint16_t* words, KAVREN_M7_Data_t& record);

// One read of the poll round: the step that awaits its reply, the registers it reads, and how
// the reply's words become record fields.
struct PollBlock {
    int step;
    int start;  // Modbus protocol address of the first register
    int count;  // registers read
    BlockDecoder decode;
};

constexpr int kFirstPollStep = 101;
constexpr int kLastPollStep = 107;
constexpr int kPollBlockCount = kLastPollStep - kFirstPollStep + 1;
constexpr int kLargestPollRead = 30;

// The seven reads of a round, in order (106 registers).
extern const PollBlock kPollRound[kPollBlockCount];

// The block whose reply step `step` awaits, or null outside 101 to 107.
const PollBlock* poll_block_for_step(int step);

}  // namespace kavren
