// The host's Modbus master layer: keeps the one pending read of a device and delivers its reply.
#include "host/sp_modbus.h"

#include <algorithm>
#include <vector>

#include "runtime/host_backend.h"

SPModbus::SPModbus() = default;
SPModbus::~SPModbus() = default;

int SPModbus::InitSetting(const Json::Value& settings) {
    return host_backend().modbus_init_setting(*this, settings);
}

int SPModbus::modbus_read_registers(int start, int count) {
    constexpr int kLastRegister = 0xFFFF;
    if (start < 0 || start > kLastRegister || count < 1 || count > static_cast<int>(kRxRegsWords) ||
        start + count - 1 > kLastRegister) {
        return -1;
    }
    pending_ = PendingRead{start, count};
    if (host_backend().modbus_read_registers(*this, start, count) != 0) {
        pending_ = PendingRead{0, 0};
        return -1;
    }
    return 0;
}

int SPModbus::complete_read(const uint16_t* words, std::size_t count) {
    const PendingRead answered = pending_;
    pending_ = PendingRead{0, 0};
    if (answered.count <= 0 || words == nullptr ||
        count != static_cast<std::size_t>(answered.count)) {
        on_error();
        return -1;
    }
    std::copy(words, words + count, rx_regs_);
    return process_payload(TAB_HOLDING_REGISTERS, static_cast<unsigned int>(count));
}

int SPModbus::fail_read() {
    pending_ = PendingRead{0, 0};
    return on_error();
}

int SPModbus::process(unsigned char* data, unsigned int length) {
    // Register values travel high byte first.
    if (data == nullptr || length % 2 != 0 || length / 2 > kRxRegsWords) {
        pending_ = PendingRead{0, 0};
        on_error();
        return -1;
    }
    std::vector<uint16_t> words(length / 2);
    for (std::size_t k = 0; k < words.size(); ++k) {
        words[k] = static_cast<uint16_t>((data[2 * k] << 8) | data[2 * k + 1]);
    }
    return complete_read(words.data(), words.size());
}
