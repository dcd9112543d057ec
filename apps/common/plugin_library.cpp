#include "apps/common/plugin_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <stdexcept>

namespace kavren::app {

PluginLibrary::PluginLibrary(const std::string& path) : path_(path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        throw std::runtime_error("cannot load plug-in " + path + ": " +
                                 (why ? why : "unknown error"));
    }
    get_providers_ = reinterpret_cast<get_providers_fn>(dlsym(handle_, kGetProvidersSymbol));
    if (get_providers_ == nullptr) {
        dlclose(handle_);
        throw std::runtime_error("plug-in " + path + " has no get_providers: not a device plug-in");
    }
    for (const auto& provider : get_providers_()) {
        provider_ = std::dynamic_pointer_cast<SMDSPDeviceProvider>(provider);
        if (provider_) break;
    }
    if (!provider_) {
        dlclose(handle_);
        throw std::runtime_error("plug-in " + path + " provides no serial-port device");
    }
}

PluginLibrary::~PluginLibrary() {
    provider_.reset();
    dlclose(handle_);
}

std::unique_ptr<SPModbus> PluginLibrary::create_device() const {
    std::unique_ptr<SMDSPDevice> device(provider_->create());
    auto* modbus = dynamic_cast<SPModbus*>(device.get());
    if (modbus == nullptr)
        throw std::runtime_error("plug-in " + path_ + " makes devices that are not Modbus devices");
    device.release();
    return std::unique_ptr<SPModbus>(modbus);
}

std::string plugin_beside_program() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "kavren_m7.so";
    const std::string path(self, static_cast<std::size_t>(n));
    const std::string directory = path.substr(0, path.rfind('/') + 1);
    // In the build tree the plug-in lies beside the program; installed, in the library folder
    // (lib/kavren, or lib/<multiarch>/kavren in a Debian package).
    for (const std::string& candidate :
         {directory + "kavren_m7.so", directory + "../" KAVREN_PLUGIN_INSTALL_DIR "/kavren_m7.so",
          directory + "../lib/kavren/kavren_m7.so"}) {
        if (access(candidate.c_str(), F_OK) == 0) return candidate;
    }
    return directory + "kavren_m7.so";
}

}  // namespace kavren::app
