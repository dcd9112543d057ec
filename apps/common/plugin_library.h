#pragma once

#include <memory>
#include <string>

#include "host/provider.h"
#include "host/sp_modbus.h"

namespace kavren::app {

// A device plug-in loaded as the monitoring host loads one: dlopen, get_providers, the
// serial-device provider. Every device it made must be destroyed before it is.
class PluginLibrary {
  public:
    // Throws std::runtime_error: cannot load, no get_providers, no serial-device provider.
    explicit PluginLibrary(const std::string& path);
    ~PluginLibrary();

    // A new driver object, which must be a Modbus device.
    std::unique_ptr<SPModbus> create_device() const;
    const std::string& path() const { return path_; }
    void* handle() const { return handle_; }
    get_providers_fn get_providers() const { return get_providers_; }
    // The serial-device provider taken at load time.
    const std::shared_ptr<SMDSPDeviceProvider>& provider() const { return provider_; }

    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

  private:
    std::string path_;
    void* handle_ = nullptr;
    get_providers_fn get_providers_ = nullptr;
    std::shared_ptr<SMDSPDeviceProvider> provider_;
};

// The plug-in beside this program (or, installed, in ../lib/kavren), for a default.
std::string plugin_beside_program();

}  // namespace kavren::app
