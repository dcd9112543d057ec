#include "apps/host/poll/meter_services.h"

namespace kavren::host {

void MeterServices::begin_round() {
    saved_.clear();
    reports_.clear();
}

bool MeterServices::send_sp(SMDVDevice&, int, const unsigned char*, unsigned int, bool) {
    return true;  // the stored record is the one the round hands on
}

bool MeterServices::save_device_history(SMDVDevice&, const unsigned char* data,
                                        unsigned int length) {
    saved_.assign(data, data + length);
    return true;
}

bool MeterServices::check_threshold_bool(SMDVDevice&, const LimitReport& report) {
    reports_.push_back(report);
    return false;
}

bool MeterServices::check_ao_report(SMDVDevice&, const std::string&, float) { return false; }
bool MeterServices::check_threshold(SMDVDevice&, const std::string&, const std::string&, float,
                                    int) {
    return false;
}
bool MeterServices::do_batch_check_threshold(SMDVDevice&, const std::vector<rule_value>&) {
    return false;
}
int MeterServices::modbus_read_registers(SPModbus&, int, int) { return 0; }
int MeterServices::modbus_init_setting(SPModbus&, const Json::Value&) { return 1; }
int MeterServices::refresh_status(SMDSPDevice&) { return 1; }
int MeterServices::reset(SMDSPDevice&) { return 1; }

}  // namespace kavren::host
