#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "runtime/host_backend.h"

// A back-end that records every call it receives, in order and with its arguments, and answers
// with results the caller chooses. Tests and benchmarks attach it to a device to see exactly
// what the device asked of its host.
class RecordingBackend : public HostBackend {
  public:
    struct Publication {
        int data_id;
        std::vector<uint8_t> record;
        bool immediate;
    };
    struct AoReport {
        std::string signal;
        float value;
    };
    struct ThresholdCheck {
        std::string signal;
        std::string text;
        float value;
        int level;
    };

    // Every call by operation name, in the order received ("SendSP", "Reset", ...).
    std::vector<std::string> calls;
    std::vector<Publication> publications;
    std::vector<std::vector<uint8_t>> histories;
    std::vector<LimitReport> limit_reports;
    std::vector<AoReport> ao_reports;
    std::vector<ThresholdCheck> threshold_checks;
    std::vector<std::size_t> batch_sizes;
    std::vector<std::pair<int, int>> reads;
    std::vector<std::string> settings;  // the settings handed to the Modbus layer, as JSON text

    // Results to answer with.
    bool ao_report_result = false;
    bool batch_result = false;
    int read_result = 0;
    int init_setting_result = 1;

    // When false, nothing is stored: the calls are answered and forgotten (for benchmarks).
    bool keep = true;

    void clear();

    bool send_sp(SMDVDevice& device, int data_id, const unsigned char* data, unsigned int length,
                 bool immediate) override;
    bool save_device_history(SMDVDevice& device, const unsigned char* data,
                             unsigned int length) override;
    bool check_threshold_bool(SMDVDevice& device, const LimitReport& report) override;
    bool check_ao_report(SMDVDevice& device, const std::string& signal, float value) override;
    bool check_threshold(SMDVDevice& device, const std::string& signal, const std::string& text,
                         float value, int level) override;
    bool do_batch_check_threshold(SMDVDevice& device,
                                  const std::vector<rule_value>& rules) override;
    int modbus_read_registers(SPModbus& device, int start, int count) override;
    int modbus_init_setting(SPModbus& device, const Json::Value& settings) override;
    int refresh_status(SMDSPDevice& device) override;
    int reset(SMDSPDevice& device) override;

  private:
    void record(const char* operation);
};
