#include "plugin/providers.h"

#include <utility>

#include "plugin/kavren_m7.h"

KAVREN_M7Provider::KAVREN_M7Provider() = default;
KAVREN_M7Provider::~KAVREN_M7Provider() = default;

SMDSPDevice* KAVREN_M7Provider::create() const { return new KAVREN_M7(); }

extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers() {
    std::vector<std::shared_ptr<Provider>> providers;
    std::shared_ptr<Provider> provider = std::make_shared<KAVREN_M7Provider>();
    providers.push_back(std::move(provider));
    return providers;
}
