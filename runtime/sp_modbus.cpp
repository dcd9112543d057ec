// The host's Modbus master layer: keeps the one pending read of a device and delivers its reply.
#include "host/sp_modbus.h"

#include <vector>

#include "runtime/device_state.h"
#include "runtime/host_backend.h"

SPModbus::SPModbus() = default;
SPModbus::~SPModbus() = default;

int SPModbus::InitSetting(const Json::Value& settings) {
    return host_backend(*this).modbus_init_setting(*this, settings);
}

int SPModbus::modbus_read_registers(int start, int count) {
    constexpr int kLastRegister = 0xFFFF;
    if (start < 0 || start > kLastRegister || count < 1 ||
        count > static_cast<int>(kModbusMaxReadRegisters) || start + count - 1 > kLastRegister) {
        return -1;
    }
    set_pending_read(*this, PendingRead{start, count});
    if (host_backend(*this).modbus_read_registers(*this, start, count) != 0) {
        set_pending_read(*this, PendingRead{});
        return -1;
    }
    return 0;
}

int SPModbus::process(unsigned char* data, unsigned int length) {
    // Register values travel high byte first.
    if (data == nullptr || length % 2 != 0 || length / 2 > kModbusMaxReadRegisters) {
        set_pending_read(*this, PendingRead{});
        on_error();
        return -1;
    }
    std::vector<uint16_t> words(length / 2);
    for (std::size_t k = 0; k < words.size(); ++k) {
        words[k] = static_cast<uint16_t>((data[2 * k] << 8) | data[2 * k + 1]);
    }
    return complete_read(*this, words.data(), words.size());
}
