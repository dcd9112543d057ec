#pragma once

#include <cstddef>
#include <cstdint>
#include <iostream>

#include "host/smd_spdevice.h"

// The most registers one Modbus read returns, and so the size of the receive table.
constexpr std::size_t kModbusMaxReadRegisters = 125;

// A Modbus master device. The driver issues reads with modbus_read_registers; the host performs
// each read on the line and hands the reply to process_payload with the reply's words in rx_regs_.
class SPModbus : public SMDSPDevice {
  public:
    // Register table of a reply.
    enum tab_type {
        TAB_COILS = 0,
        TAB_HOLDING_REGISTERS = 1,
        TAB_INPUT_REGISTERS = 2,
        TAB_INPUT_BITS = 3
    };

    SPModbus();
    ~SPModbus() override;

    // Takes the data bytes of a read-registers reply (register values, high byte first, as on
    // the wire) for the pending read.
    int process(unsigned char* data, unsigned int length) override;
    int InitSetting(const Json::Value& settings) override;

    virtual int process_payload(tab_type table, unsigned int count) = 0;
    virtual int on_error() {
        std::cout << "SPModbus get error" << std::endl;
        return 0;
    }

    // Starts a read of `count` holding registers from `start`. Returns 0 when the read is
    // pending, -1 when the request is outside Modbus (start 0 to 65535, count 1 to 125, not past
    // register 65535) or the host refused it.
    int modbus_read_registers(int start, int count);

    // Words of the last reply, first register first. Sized for the largest read Modbus allows,
    // so that no reply the host takes can run past it.
    uint16_t rx_regs_[kModbusMaxReadRegisters] = {};
};
