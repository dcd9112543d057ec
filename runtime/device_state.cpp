#include "runtime/device_state.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "host/sp_modbus.h"
#include "runtime/host_backend.h"

namespace {

struct DeviceState {
    HostBackend* backend = nullptr;
    PendingRead pending;
};

// Entries are made and removed by device construction and destruction only; between those a
// device's entry stays where it is (map nodes do not move), so its state is read and written
// under the shared lock: calls into one device never overlap.
class DeviceTable {
  public:
    void add(const SMDVDevice* device) {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        states_.try_emplace(device);
    }
    void remove(const SMDVDevice* device) {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        states_.erase(device);
    }
    DeviceState* find(const SMDVDevice* device) {
        std::shared_lock<std::shared_mutex> lock(mutex_);
        const auto entry = states_.find(device);
        return entry == states_.end() ? nullptr : &entry->second;
    }

  private:
    std::shared_mutex mutex_;
    std::unordered_map<const SMDVDevice*, DeviceState> states_;
};

DeviceTable& table() {
    static DeviceTable* devices = new DeviceTable();  // outlives every static device
    return *devices;
}

HostBackend& unsupported_backend() {
    static HostBackend none;
    return none;
}

}  // namespace

void register_device(const SMDVDevice& device) { table().add(&device); }
void unregister_device(const SMDVDevice& device) { table().remove(&device); }

void set_host_backend(SMDVDevice& device, HostBackend* backend) {
    if (DeviceState* state = table().find(&device)) state->backend = backend;
}

HostBackend& host_backend(const SMDVDevice& device) {
    const DeviceState* state = table().find(&device);
    return state != nullptr && state->backend != nullptr ? *state->backend : unsupported_backend();
}

bool has_pending_read(const SPModbus& device) { return pending_read(device).count > 0; }

PendingRead pending_read(const SPModbus& device) {
    const DeviceState* state = table().find(&device);
    return state != nullptr ? state->pending : PendingRead{};
}

void set_pending_read(SPModbus& device, PendingRead read) {
    if (DeviceState* state = table().find(&device)) state->pending = read;
}

int complete_read(SPModbus& device, const uint16_t* words, std::size_t count) {
    const PendingRead answered = pending_read(device);
    set_pending_read(device, PendingRead{});
    if (answered.count <= 0 || words == nullptr ||
        count != static_cast<std::size_t>(answered.count)) {
        device.on_error();
        return -1;
    }
    std::copy(words, words + count, device.rx_regs_);
    return device.process_payload(SPModbus::TAB_HOLDING_REGISTERS,
                                  static_cast<unsigned int>(count));
}

int fail_read(SPModbus& device) {
    set_pending_read(device, PendingRead{});
    return device.on_error();
}
