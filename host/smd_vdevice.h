#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>

#include "host/rule_value.h"
#include "host/vdevice_interface.h"

// A device as the host's data bus and alarm handling see it.
class SMDVDevice : public VDeviceInterface {
  public:
    SMDVDevice();
    ~SMDVDevice() override;

    int DeviceIoControl(int code, const void* in, int in_length, void* out, int out_length,
                        int& out_used) override;
    int InitV(SMDVDevice* parent, unsigned int index, const Json::Value& config) override;
    // True for the device's own type text.
    bool IsSupportDevice(const std::string& device_type) const override;

    virtual std::shared_ptr<SMDVDevice> GetChildVDevice(unsigned int /*index*/) { return {}; }
    virtual std::vector<std::shared_ptr<SMDVDevice>> GetAllChildVDevices() { return {}; }
    // Publishes a record on the host's data bus under data_id.
    virtual bool SendSP(int data_id, const unsigned char* data, unsigned int length,
                        bool immediate);
    virtual int SendDelayData(int delay_ms);
    virtual int SendDoData(int channel, char value);
    virtual int ReadDi(int channel);
    virtual float ReadAi(int channel);
    virtual float Get_SP_Value(unsigned int channel, const std::string& name);

    // Alarm handling; each returns true when the alarm state changed.
    bool CheckAOReport(const std::string& signal, float value);
    bool CheckThreshold(const std::string& signal, const std::string& text, const float& value,
                        int level);
    bool CheckThresholdBool(int kind, const std::string& key, const std::string& code,
                            const std::string& text, const std::string& recover_text, bool active,
                            unsigned short sequence);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
    // Stores a record in the device's history.
    bool SaveDeviceHistory(const unsigned char* data, unsigned int length);

    uint16_t check_seq_ = 0;                      // number of the next limit check in a round
    boost::posix_time::ptime last_round_time_;    // local time of the last completed round
    bool data_ready_ = false;                     // a record is present
    std::vector<rule_value> rule_values_;         // checks queued for the round-end batch
    bool alarm_changed_ = false;                  // the last round's checks changed an alarm
    std::vector<std::string> report_signals_;     // signals evaluated at round end
    std::map<std::string, float> report_values_;  // their current values
    std::map<std::string, int> alarm_levels_;     // alarm level per signal
    std::map<std::string, float> alarm_values_;   // threshold per signal
};
