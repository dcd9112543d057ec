// InitSetting with any JSON text: either the settings are applied and handed on, or the JSON
// library refuses a conversion with its own exception.
#include "fuzz/fuzz_json.h"

#include "fuzz/fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Json::Value settings;
    if (!kavren_fuzz::parse_json(data, size, settings)) return 0;
    auto driver = kavren_fuzz::new_driver();
    driver->data_id_ = 4711;
    kavren_fuzz::plugin().backend.init_setting_result = 17;
    try {
        if (driver->InitSetting(settings) != 17) __builtin_trap();
    } catch (const Json::LogicError&) {
        return 0;
    }
    if (driver->data_.data_id != 4711) __builtin_trap();
    return 0;
}
