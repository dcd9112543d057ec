// LoadFromCache with any bytes and any length: only exactly 259 bytes are taken.
#include <algorithm>
#include <stdexcept>
#include <vector>

#include "fuzz/fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    kavren_fuzz::Input in(data, size);
    const int length = in.int32();
    const std::size_t rest = size > 4 ? size - 4 : 0;
    // The caller's buffer always holds what it claims, as the host's cache does.
    std::vector<unsigned char> buffer(std::max<std::size_t>(rest, 259));
    if (rest > 0) std::copy(data + 4, data + size, buffer.begin());
    auto driver = kavren_fuzz::new_driver();
    const int taken = driver->LoadFromCache(buffer.data(), length);
    if (taken != (length == 259 ? 1 : 0)) __builtin_trap();
    if (taken && std::equal(buffer.begin(), buffer.begin() + 252,
                            reinterpret_cast<const unsigned char*>(&driver->data_)) == false) {
        __builtin_trap();
    }
    for (const char* name : {"UA", "IA", "ZeroCurrent", "x"}) {
        try {
            driver->Get_Value(0, name);
        } catch (const std::out_of_range&) {
        }
    }
    const std::string blob(reinterpret_cast<const char*>(buffer.data()), rest);
    if (driver->LoadFromCache(blob) != (rest == 259 ? 1 : 0)) __builtin_trap();
    return 0;
}
