#pragma once

#include <memory>
#include <vector>

class SMDSPDevice;

// Root of all device providers. Providers are defined wholly here, so that a plug-in carries its
// own copy of each and takes nothing of them from the host.
class Provider {
  public:
    Provider() = default;
    virtual ~Provider() = default;
};

// Provider of serial-port devices: create() makes a new driver object owned by the caller,
// who destroys it through its virtual destructor.
class SMDSPDeviceProvider : public Provider {
  public:
    SMDSPDeviceProvider() = default;
    ~SMDSPDeviceProvider() override = default;
    virtual SMDSPDevice* create() const = 0;
};

// The one entry point a plug-in exports, unmangled, as "get_providers".
using get_providers_fn = std::vector<std::shared_ptr<Provider>> (*)();
constexpr const char* kGetProvidersSymbol = "get_providers";
