#include "apps/host/meter_services.h"

#include <cstdio>
#include <cstring>

#include "host/sp_modbus.h"
#include "meter/kavren_m7_data.h"

namespace kavren::host {

std::string record_time_text(const uint8_t* record, std::size_t length) {
    if (record == nullptr || length != sizeof(KAVREN_M7_Data_t)) return "";
    TTime t;
    std::memcpy(&t, record + offsetof(KAVREN_M7_Data_t, update_time), sizeof t);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", unsigned{t.year},
                  unsigned{t.month}, unsigned{t.day}, unsigned{t.hour}, unsigned{t.minute},
                  unsigned{t.second});
    return text;
}

MeterServices::MeterServices(std::string device_name, HistoryStore& store, Log log)
    : name_(std::move(device_name)), store_(store), log_(std::move(log)) {
    std::map<std::string, AlarmBook::Alarm> active;
    for (const auto& a : store_.active_alarms(name_))
        active[a.first] = {a.second.description, a.second.since};
    alarms_.restore(std::move(active));
}

bool MeterServices::send_sp(SMDVDevice&, int, const unsigned char* data, unsigned int length,
                            bool) {
    published_.assign(data, data + length);
    return true;
}

bool MeterServices::save_device_history(SMDVDevice& device, const unsigned char* data,
                                        unsigned int length) {
    try {
        store_.save_record(name_, device.DataId(), record_time_text(data, length), data, length,
                           restoring_ ? "restore" : "round");
        store_failed_ = false;
        return true;
    } catch (const std::exception& e) {
        if (!store_failed_) log_(name_ + ": cannot store the round: " + e.what());
        store_failed_ = true;
        return false;
    }
}

bool MeterServices::check_threshold_bool(SMDVDevice&, const LimitReport& report) {
    round_reports_.push_back(report);
    const std::string now = record_time_text(published_);
    const AlarmBook::Change change = alarms_.report(report.key, report.active, report.text, now);
    if (change == AlarmBook::Change::none) return false;
    const bool raised = change == AlarmBook::Change::raised;
    log_(name_ + ": alarm " + (raised ? "raised: " : "cleared: ") + report.key + " " + report.text);
    try {
        store_.save_alarm(name_, report.key, raised, report.text, now);
    } catch (const std::exception& e) {
        log_(name_ + ": cannot store the alarm: " + e.what());
    }
    return true;
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
