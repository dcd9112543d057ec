#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/enum_parity.h"
#include "host/rule_value.h"

class SMDController;
class SMDVDevice;
class SMDSPDevice;
class SPModbus;
namespace Json {
class Value;
}

// One limit report as a device hands it to CheckThresholdBool.
struct LimitReport {
    int kind = 0;
    std::string key;
    std::string code;
    std::string text;
    std::string recover_text;
    bool active = false;
    unsigned short sequence = 0;
};

// Carries out, for one or more devices, every host operation whose effect leaves the device:
// publication, history, alarm handling, the serial line and the Modbus link. The base class is
// the host with none of these services: each operation answers "not supported" (false, -1, or
// NaN for a value) and does nothing else. A real host, or a test, derives and overrides.
class HostBackend {
  public:
    HostBackend() = default;
    virtual ~HostBackend();

    // Data bus and storage.
    virtual bool send_sp(SMDVDevice& device, int data_id, const unsigned char* data,
                         unsigned int length, bool immediate);
    virtual bool save_device_history(SMDVDevice& device, const unsigned char* data,
                                     unsigned int length);

    // Alarm handling; true when an alarm state changed.
    virtual bool check_threshold_bool(SMDVDevice& device, const LimitReport& report);
    virtual bool check_ao_report(SMDVDevice& device, const std::string& signal, float value);
    virtual bool check_threshold(SMDVDevice& device, const std::string& signal,
                                 const std::string& text, float value, int level);
    virtual bool do_batch_check_threshold(SMDVDevice& device, const std::vector<rule_value>& rules);

    // Modbus link: a read the device wants performed; 0 accepted, -1 refused.
    virtual int modbus_read_registers(SPModbus& device, int start, int count);
    virtual int modbus_init_setting(SPModbus& device, const Json::Value& settings);

    // Serial device.
    virtual int refresh_status(SMDSPDevice& device);
    virtual int reset(SMDSPDevice& device);
    virtual int init(SMDSPDevice& device, std::weak_ptr<SMDController> controller,
                     unsigned int index, const Json::Value& config);
    virtual bool is_processing(SMDSPDevice& device);
    virtual bool is_stalled(SMDSPDevice& device);
    virtual int send_data(SMDSPDevice& device, const unsigned char* data, unsigned int length,
                          EnumParity parity);
    virtual bool open_port(SMDSPDevice& device);
    virtual bool close_port(SMDSPDevice& device);

    // Virtual-device services.
    virtual int device_io_control(SMDVDevice& device, int code, const void* in, int in_length,
                                  void* out, int out_length, int& out_used);
    virtual int init_v(SMDVDevice& device, SMDVDevice* parent, unsigned int index,
                       const Json::Value& config);
    virtual int send_delay_data(SMDVDevice& device, int delay_ms);
    virtual int send_do_data(SMDVDevice& device, int channel, char value);
    virtual int read_di(SMDVDevice& device, int channel);
    virtual float read_ai(SMDVDevice& device, int channel);
    virtual float get_sp_value(SMDVDevice& device, unsigned int channel, const std::string& name);

    HostBackend(const HostBackend&) = delete;
    HostBackend& operator=(const HostBackend&) = delete;
};
