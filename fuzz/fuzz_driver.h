#pragma once

// Driver objects for the fuzz targets: made by the built kavren_m7.so as a host makes them,
// with a back-end that answers everything and keeps nothing, and the plug-in's lines discarded.
#include <dlfcn.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <streambuf>

#include "host/provider.h"
#include "plugin/kavren_m7.h"
#include "runtime/recording_backend.h"

namespace kavren_fuzz {

class Discard : public std::streambuf {
  protected:
    int overflow(int ch) override { return traits_type::not_eof(ch); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

struct Plugin {
    void* handle = nullptr;
    std::shared_ptr<SMDSPDeviceProvider> provider;
    RecordingBackend backend;
    Discard discard;

    Plugin() {
        handle = dlopen(KAVREN_M7_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            std::cerr << "cannot load " << KAVREN_M7_PLUGIN_PATH << ": " << dlerror() << std::endl;
            std::abort();
        }
        auto get = reinterpret_cast<get_providers_fn>(dlsym(handle, kGetProvidersSymbol));
        provider = std::dynamic_pointer_cast<SMDSPDeviceProvider>(get().at(0));
        backend.keep = false;
        std::cout.rdbuf(&discard);
    }
};

inline Plugin& plugin() {
    static Plugin* loaded = new Plugin();  // stays loaded for the whole run
    return *loaded;
}

inline std::unique_ptr<KAVREN_M7> new_driver() {
    std::unique_ptr<KAVREN_M7> driver(static_cast<KAVREN_M7*>(plugin().provider->create()));
    driver->set_host_backend(&plugin().backend);
    return driver;
}

// Reads the fuzz input front to back; past its end everything reads as zero.
class Input {
  public:
    Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t word() { return static_cast<uint16_t>(byte() << 8 | byte()); }
    int32_t int32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | byte();
        return static_cast<int32_t>(v);
    }

  private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace kavren_fuzz
