#include "runtime/host_backend.h"

#include <limits>

// The host without services: every operation reports "not supported".

HostBackend::~HostBackend() = default;

bool HostBackend::send_sp(SMDVDevice&, int, const unsigned char*, unsigned int, bool) {
    return false;
}
bool HostBackend::save_device_history(SMDVDevice&, const unsigned char*, unsigned int) {
    return false;
}
bool HostBackend::check_threshold_bool(SMDVDevice&, const LimitReport&) { return false; }
bool HostBackend::check_ao_report(SMDVDevice&, const std::string&, float) { return false; }
bool HostBackend::check_threshold(SMDVDevice&, const std::string&, const std::string&, float, int) {
    return false;
}
bool HostBackend::do_batch_check_threshold(SMDVDevice&, const std::vector<rule_value>&) {
    return false;
}
int HostBackend::modbus_read_registers(SPModbus&, int, int) { return -1; }
int HostBackend::modbus_init_setting(SPModbus&, const Json::Value&) { return -1; }
int HostBackend::refresh_status(SMDSPDevice&) { return -1; }
int HostBackend::reset(SMDSPDevice&) { return -1; }
int HostBackend::init(SMDSPDevice&, std::weak_ptr<SMDController>, unsigned int,
                      const Json::Value&) {
    return -1;
}
bool HostBackend::is_processing(SMDSPDevice&) { return false; }
bool HostBackend::is_stalled(SMDSPDevice&) { return false; }
int HostBackend::send_data(SMDSPDevice&, const unsigned char*, unsigned int, EnumParity) {
    return -1;
}
bool HostBackend::open_port(SMDSPDevice&) { return false; }
bool HostBackend::close_port(SMDSPDevice&) { return false; }
int HostBackend::device_io_control(SMDVDevice&, int, const void*, int, void*, int, int& out_used) {
    out_used = 0;
    return -1;
}
int HostBackend::init_v(SMDVDevice&, SMDVDevice*, unsigned int, const Json::Value&) { return -1; }
int HostBackend::send_delay_data(SMDVDevice&, int) { return -1; }
int HostBackend::send_do_data(SMDVDevice&, int, char) { return -1; }
int HostBackend::read_di(SMDVDevice&, int) { return -1; }
float HostBackend::read_ai(SMDVDevice&, int) { return std::numeric_limits<float>::quiet_NaN(); }
float HostBackend::get_sp_value(SMDVDevice&, unsigned int, const std::string&) {
    return std::numeric_limits<float>::quiet_NaN();
}
