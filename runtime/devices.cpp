// The host's device chain up to the serial device: everything that leaves the device is handed
// to the device's back-end.
#include <utility>

#include "host/smd_controller.h"
#include "host/smd_spdevice.h"
#include "runtime/device_state.h"
#include "runtime/host_backend.h"

SMDController::SMDController() = default;
SMDController::~SMDController() = default;

VDeviceInterface::VDeviceInterface() = default;
VDeviceInterface::~VDeviceInterface() = default;

SMDVDevice::SMDVDevice() { register_device(*this); }
SMDVDevice::~SMDVDevice() { unregister_device(*this); }

int SMDVDevice::DeviceIoControl(int code, const void* in, int in_length, void* out, int out_length,
                                int& out_used) {
    return host_backend(*this).device_io_control(*this, code, in, in_length, out, out_length,
                                                 out_used);
}
int SMDVDevice::InitV(SMDVDevice* parent, unsigned int index, const Json::Value& config) {
    return host_backend(*this).init_v(*this, parent, index, config);
}
bool SMDVDevice::IsSupportDevice(const std::string& device_type) const {
    return !device_type.empty() && device_type == device_type_;
}
bool SMDVDevice::SendSP(int data_id, const unsigned char* data, unsigned int length,
                        bool immediate) {
    return host_backend(*this).send_sp(*this, data_id, data, length, immediate);
}
int SMDVDevice::SendDelayData(int delay_ms) {
    return host_backend(*this).send_delay_data(*this, delay_ms);
}
int SMDVDevice::SendDoData(int channel, char value) {
    return host_backend(*this).send_do_data(*this, channel, value);
}
int SMDVDevice::ReadDi(int channel) { return host_backend(*this).read_di(*this, channel); }
float SMDVDevice::ReadAi(int channel) { return host_backend(*this).read_ai(*this, channel); }
float SMDVDevice::Get_SP_Value(unsigned int channel, const std::string& name) {
    return host_backend(*this).get_sp_value(*this, channel, name);
}
bool SMDVDevice::CheckAOReport(const std::string& signal, float value) {
    return host_backend(*this).check_ao_report(*this, signal, value);
}
bool SMDVDevice::CheckThreshold(const std::string& signal, const std::string& text,
                                const float& value, int level) {
    return host_backend(*this).check_threshold(*this, signal, text, value, level);
}
bool SMDVDevice::CheckThresholdBool(int kind, const std::string& key, const std::string& code,
                                    const std::string& text, const std::string& recover_text,
                                    bool active, unsigned short sequence) {
    const LimitReport report{kind, key, code, text, recover_text, active, sequence};
    return host_backend(*this).check_threshold_bool(*this, report);
}
bool SMDVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
    return host_backend(*this).do_batch_check_threshold(*this, rules);
}
bool SMDVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int length) {
    return host_backend(*this).save_device_history(*this, data, length);
}

SMDSPDevice::SMDSPDevice() = default;
SMDSPDevice::~SMDSPDevice() = default;

int SMDSPDevice::Reset() { return host_backend(*this).reset(*this); }
int SMDSPDevice::Init(std::weak_ptr<SMDController> controller, unsigned int index,
                      const Json::Value& config) {
    return host_backend(*this).init(*this, std::move(controller), index, config);
}
int SMDSPDevice::RefreshStatus() { return host_backend(*this).refresh_status(*this); }
bool SMDSPDevice::IsProcessing() { return host_backend(*this).is_processing(*this); }
bool SMDSPDevice::IsStalled() { return host_backend(*this).is_stalled(*this); }
int SMDSPDevice::SendData(const unsigned char* data, unsigned int length) {
    return host_backend(*this).send_data(*this, data, length, PARITY_NONE);
}
int SMDSPDevice::SendParityData(const unsigned char* data, unsigned int length, EnumParity parity) {
    return host_backend(*this).send_data(*this, data, length, parity);
}
bool SMDSPDevice::OpenPort() { return host_backend(*this).open_port(*this); }
bool SMDSPDevice::ClosePort() { return host_backend(*this).close_port(*this); }
