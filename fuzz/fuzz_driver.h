#pragma once

// Driver objects for the fuzz targets: made by the built kavren_m7.so as a host makes them,
// with a back-end that answers everything and keeps nothing, and the plug-in's lines discarded.
#include <cstdlib>
#include <iostream>
#include <memory>

#include "apps/common/plugin_library.h"
#include "apps/common/plugin_output.h"
#include "fuzz/fuzz_input.h"
#include "plugin/kavren_m7.h"
#include "runtime/device_state.h"
#include "tests/support/recording_backend.h"

namespace kavren_fuzz {

struct Plugin {
    kavren::app::PluginLibrary library{KAVREN_M7_PLUGIN_PATH};
    RecordingBackend backend;
    kavren::app::PluginLineLog discard;  // no sink: the plug-in's lines go nowhere
    kavren::app::StdoutRedirect quiet{&discard};

    Plugin() { backend.keep = false; }
};

inline Plugin& plugin() {
    static Plugin* loaded = new Plugin();  // stays loaded for the whole run
    return *loaded;
}

inline std::unique_ptr<KAVREN_M7> new_driver() {
    std::unique_ptr<KAVREN_M7> driver(
        static_cast<KAVREN_M7*>(plugin().library.provider()->create()));
    set_host_backend(*driver, &plugin().backend);
    return driver;
}

}  // namespace kavren_fuzz
