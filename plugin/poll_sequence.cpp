// The poll round: RefreshStatus issues the first read; every reply decodes one block, advances
// the step and issues the next read; the seventh reply completes the round.
#include "meter/poll_blocks.h"
#include "plugin/kavren_m7.h"

static_assert(kavren::kLargestPollRead <= static_cast<int>(kModbusMaxReadRegisters),
              "every reply of the round fits the receive table");

int KAVREN_M7::RefreshStatus() {
    SMDSPDevice::RefreshStatus();
    poll_step_ = kavren::kFirstPollStep;
    const kavren::PollBlock& first = kavren::kPollRound[0];
    modbus_read_registers(first.start, first.count);
    return 1;
}

int KAVREN_M7::process_payload(SPModbus::tab_type table, unsigned int /*count*/) {
    const kavren::PollBlock* block = kavren::poll_block_for_step(poll_step_);
    if (block == nullptr || table != SPModbus::TAB_HOLDING_REGISTERS) return 1;

    block->decode(rx_regs_, data_);
    if (block->step == kavren::kLastPollStep) {
        // The step stays at the last block until the next RefreshStatus.
        RoundDone();
        return 0;
    }
    const kavren::PollBlock& next = *kavren::poll_block_for_step(block->step + 1);
    poll_step_ = next.step;
    modbus_read_registers(next.start, next.count);
    return 1;
}
