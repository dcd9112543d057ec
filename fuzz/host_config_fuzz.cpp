// The host's configuration file: any JSON gives a configuration or one clear error.
#include <json/json.h>

#include <memory>
#include <stdexcept>

#include "apps/host/host_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Json::Value root;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    const char* text = reinterpret_cast<const char*>(data);
    if (!reader->parse(text, text + size, &root, &errors)) return 0;
    try {
        const kavren::host::HostConfig config =
            kavren::host::host_config_from_json(root, "/nonexistent/fuzz.json");
        kavren::host::validate(config);
    } catch (const std::runtime_error&) {
    }
    return 0;
}
