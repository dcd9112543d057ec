#include "tests/support/recording_backend.h"

#include <json/json.h>

void RecordingBackend::clear() {
    calls.clear();
    publications.clear();
    histories.clear();
    limit_reports.clear();
    ao_reports.clear();
    threshold_checks.clear();
    batch_sizes.clear();
    reads.clear();
    settings.clear();
}

void RecordingBackend::record(const char* operation) {
    if (keep) calls.emplace_back(operation);
}

bool RecordingBackend::send_sp(SMDVDevice&, int data_id, const unsigned char* data,
                               unsigned int length, bool immediate) {
    record("SendSP");
    if (keep)
        publications.push_back({data_id, std::vector<uint8_t>(data, data + length), immediate});
    return true;
}

bool RecordingBackend::save_device_history(SMDVDevice&, const unsigned char* data,
                                           unsigned int length) {
    record("SaveDeviceHistory");
    if (keep) histories.emplace_back(data, data + length);
    return true;
}

bool RecordingBackend::check_threshold_bool(SMDVDevice&, const LimitReport& report) {
    record("CheckThresholdBool");
    if (keep) limit_reports.push_back(report);
    return false;
}

bool RecordingBackend::check_ao_report(SMDVDevice&, const std::string& signal, float value) {
    record("CheckAOReport");
    if (keep) ao_reports.push_back({signal, value});
    return ao_report_result;
}

bool RecordingBackend::check_threshold(SMDVDevice&, const std::string& signal,
                                       const std::string& text, float value, int level) {
    record("CheckThreshold");
    if (keep) threshold_checks.push_back({signal, text, value, level});
    return false;
}

bool RecordingBackend::do_batch_check_threshold(SMDVDevice&, const std::vector<rule_value>& rules) {
    record("DoBatchCheckThreshold");
    if (keep) batch_sizes.push_back(rules.size());
    return batch_result;
}

int RecordingBackend::modbus_read_registers(SPModbus&, int start, int count) {
    record("modbus_read_registers");
    if (keep) reads.emplace_back(start, count);
    return read_result;
}

int RecordingBackend::modbus_init_setting(SPModbus&, const Json::Value& value) {
    record("InitSetting");
    if (keep) {
        Json::StreamWriterBuilder compact;
        compact["indentation"] = "";
        settings.push_back(Json::writeString(compact, value));
    }
    return init_setting_result;
}

int RecordingBackend::refresh_status(SMDSPDevice&) {
    record("RefreshStatus");
    return 1;
}

int RecordingBackend::reset(SMDSPDevice&) {
    record("Reset");
    return 1;
}
