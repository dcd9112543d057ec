#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "apps/common/plugin_library.h"
#include "apps/common/plugin_output.h"
#include "host/provider.h"
#include "host/sp_modbus.h"
#include "plugin/kavren_m7.h"
#include "runtime/device_state.h"
#include "tests/support/recording_backend.h"

namespace testing_support {

// The built kavren_m7.so, loaded as a host loads it: dlopen, then get_providers.
class LoadedPlugin : public kavren::app::PluginLibrary {
  public:
    LoadedPlugin() : PluginLibrary(KAVREN_M7_PLUGIN_PATH) {}
    // The first provider of a fresh get_providers call, as a serial-device provider.
    std::shared_ptr<SMDSPDeviceProvider> device_provider() const;
};

// A meter's registers as the simulator would serve them; unset registers read 0.
struct RegisterImage {
    std::map<int, uint16_t> registers;
    void set(int address, uint16_t word) { registers[address] = word; }
    void set_pair(int address, uint32_t value) {
        set(address, static_cast<uint16_t>(value >> 16));  // high word first
        set(address + 1, static_cast<uint16_t>(value & 0xFFFF));
    }
    std::vector<uint16_t> read(int start, int count) const;
};

// One driver object from the loaded plug-in, with a recording back-end attached.
// Members are destroyed device first, plug-in last.
class MeterUnderTest {
  public:
    MeterUnderTest();
    ~MeterUnderTest();

    KAVREN_M7& meter() { return *static_cast<KAVREN_M7*>(device_.get()); }
    SMDSPDevice* device() { return device_.get(); }

    // Puts the words into the receive table and hands them to process_payload, as the host's
    // Modbus layer does.
    int reply(const std::vector<uint16_t>& words,
              SPModbus::tab_type table = SPModbus::TAB_HOLDING_REGISTERS);
    // RefreshStatus, then each read the driver issues answered from the image until it asks no
    // more; returns the results of process_payload.
    std::vector<int> run_round(const RegisterImage& image);
    // The published record's bytes as the driver holds them now.
    std::vector<uint8_t> record_bytes();

    RecordingBackend backend;

  private:
    LoadedPlugin plugin_;
    std::shared_ptr<SMDSPDeviceProvider> provider_;
    std::unique_ptr<SMDSPDevice> device_;
};

// Standard output, captured while it lives (the plug-in shares this process's std::cout).
class CapturedStdout {
  public:
    std::string text() const { return captured_.str(); }

  private:
    std::ostringstream captured_;
    kavren::app::StdoutRedirect redirect_{captured_.rdbuf()};
};

// Fields of a record image by offset: little-endian, no alignment assumed.
uint32_t bits_of(float value);
float f32_at(const std::vector<uint8_t>& record, std::size_t offset);
uint16_t u16_at(const std::vector<uint8_t>& record, std::size_t offset);
int16_t i16_at(const std::vector<uint8_t>& record, std::size_t offset);
uint32_t u32_at(const std::vector<uint8_t>& record, std::size_t offset);

}  // namespace testing_support
