#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "apps/host/alarm_book.h"
#include "apps/host/history_store.h"
#include "runtime/host_backend.h"

namespace kavren::host {

// What the host does for one meter's driver: publication, history, alarms. Reads the driver
// issues are accepted here and performed by the meter's link poller.
class MeterServices : public HostBackend {
  public:
    using Log = std::function<void(const std::string&)>;

    MeterServices(std::string device_name, HistoryStore& store, Log log);

    bool send_sp(SMDVDevice& device, int data_id, const unsigned char* data, unsigned int length,
                 bool immediate) override;
    bool save_device_history(SMDVDevice& device, const unsigned char* data,
                             unsigned int length) override;
    bool check_threshold_bool(SMDVDevice& device, const LimitReport& report) override;
    // This host keeps no per-signal rules: the checks find no change.
    bool check_ao_report(SMDVDevice& device, const std::string& signal, float value) override;
    bool check_threshold(SMDVDevice& device, const std::string& signal, const std::string& text,
                         float value, int level) override;
    bool do_batch_check_threshold(SMDVDevice& device,
                                  const std::vector<rule_value>& rules) override;
    int modbus_read_registers(SPModbus& device, int start, int count) override;
    int modbus_init_setting(SPModbus& device, const Json::Value& settings) override;
    int refresh_status(SMDSPDevice& device) override;
    int reset(SMDSPDevice& device) override;

    // Records saved from now on count as restored ones (true) or polled rounds (false).
    void set_restoring(bool restoring) { restoring_ = restoring; }
    // Forgets the last round's limit reports.
    void begin_round() { round_reports_.clear(); }

    const std::vector<uint8_t>& published_record() const { return published_; }
    const std::vector<LimitReport>& round_reports() const { return round_reports_; }
    AlarmBook& alarms() { return alarms_; }
    bool store_failed() const { return store_failed_; }

  private:
    std::string name_;
    HistoryStore& store_;
    Log log_;
    AlarmBook alarms_;
    std::vector<uint8_t> published_;
    std::vector<LimitReport> round_reports_;
    bool restoring_ = false;
    bool store_failed_ = false;
};

// The record's own time stamp as "YYYY-MM-DD HH:MM:SS".
std::string record_time_text(const uint8_t* record, std::size_t length);
inline std::string record_time_text(const std::vector<uint8_t>& record) {
    return record_time_text(record.data(), record.size());
}

}  // namespace kavren::host
