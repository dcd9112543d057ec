// Any sequence of round starts, replies (any table, any words, any count), value requests, cache
// restores and poll steps: the driver must neither crash nor misbehave.
#include <cstring>
#include <stdexcept>
#include <string>

#include "fuzz/fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    kavren_fuzz::Input in(data, size);
    auto driver = kavren_fuzz::new_driver();
    driver->data_.data_id = 0xA5A5A5A5;
    uint16_t words[kModbusMaxReadRegisters];
    while (!in.empty()) {
        switch (in.byte() % 7) {
            case 0:
                if (driver->RefreshStatus() != 1) __builtin_trap();
                break;
            case 1: {
                const auto table = static_cast<SPModbus::tab_type>(in.byte() % 4);
                const unsigned count = in.byte() % (kModbusMaxReadRegisters + 1);
                for (unsigned k = 0; k < count; ++k) driver->rx_regs_[k] = in.word();
                const int result = driver->process_payload(table, count);
                if (result != 0 && result != 1) __builtin_trap();
                break;
            }
            case 2: {
                const std::size_t count = in.byte() % 200;  // also more than a reply can hold
                for (std::size_t k = 0; k < count && k < kModbusMaxReadRegisters; ++k)
                    words[k] = in.word();
                if (count <= kModbusMaxReadRegisters)
                    complete_read(*driver, words, count);
                else
                    fail_read(*driver);
                break;
            }
            case 3: {
                std::string name(in.byte() % 16, '\0');
                for (char& c : name) c = static_cast<char>(in.byte());
                try {
                    driver->Get_Value(in.byte(), name);
                } catch (const std::out_of_range&) {
                }
                break;
            }
            case 4:
                driver->poll_step_ = in.int32();
                break;
            case 5: {
                unsigned char record[259];
                for (unsigned char& b : record) b = in.byte();
                driver->LoadFromCache(record, 259);
                driver->data_.data_id = 0xA5A5A5A5;
                break;
            }
            case 6:
                driver->check_seq_ = static_cast<uint16_t>(in.word());
                driver->RunCheckThreshold();
                break;
        }
        // The poll never writes the data id, and the step only ever holds what the host or the
        // driver put there.
        if (driver->data_.data_id != 0xA5A5A5A5) __builtin_trap();
    }
    return 0;
}
