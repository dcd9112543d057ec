// The host's configuration file: any JSON gives a configuration or one clear error.
#include "fuzz/fuzz_json.h"

#include <stdexcept>

#include "apps/host/config/host_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Json::Value root;
    if (!kavren_fuzz::parse_json(data, size, root)) return 0;
    try {
        const kavren::host::HostConfig config =
            kavren::host::host_config_from_json(root, "/nonexistent/fuzz.json");
        kavren::host::validate(config);
    } catch (const std::runtime_error&) {
    }
    return 0;
}
