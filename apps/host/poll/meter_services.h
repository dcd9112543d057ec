#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/host_backend.h"

namespace kavren::host {

// What the host does for one meter's driver during a round: it keeps what the driver publishes,
// asks to store and reports, for the link thread to hand on as the round's result. Nothing here
// waits: storing and alarm handling happen on the history's thread. Reads the driver issues are
// accepted here and performed by the meter's link thread.
class MeterServices : public HostBackend {
  public:
    bool send_sp(SMDVDevice& device, int data_id, const unsigned char* data, unsigned int length,
                 bool immediate) override;
    bool save_device_history(SMDVDevice& device, const unsigned char* data,
                             unsigned int length) override;
    // The limit's state is judged against the alarm book when the round is stored.
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

    // Forgets the last round.
    void begin_round();
    // The record the round asked to store, or empty; the limit reports of the round.
    std::vector<uint8_t> take_saved_record() { return std::move(saved_); }
    std::vector<LimitReport> take_limit_reports() { return std::move(reports_); }

  private:
    std::vector<uint8_t> saved_;
    std::vector<LimitReport> reports_;
};

}  // namespace kavren::host
