#pragma once

#include <cstdint>

#include "host/enum_parity.h"
#include "host/smd_vdevice.h"

// A device on one of the host's serial ports.
class SMDSPDevice : public SMDVDevice {
  public:
    SMDSPDevice();
    ~SMDSPDevice() override;

    int Reset() override;
    int Init(std::weak_ptr<SMDController> controller, unsigned int index,
             const Json::Value& config) override;

    // Starts a poll round.
    virtual int RefreshStatus();
    // Takes bytes received on the port.
    virtual int process(unsigned char* data, unsigned int length) = 0;
    virtual bool IsProcessing();
    virtual bool IsStalled();
    virtual int SendData(const unsigned char* data, unsigned int length);
    virtual int SendParityData(const unsigned char* data, unsigned int length, EnumParity parity);
    virtual bool OpenPort();
    virtual bool ClosePort();

    int poll_step_ = 0;        // driver's poll step
    uint8_t driver_flag_ = 0;  // set by the driver; read by the host only
    int baud_rate_ = 0;        // line speed the driver asks for, bit/s
};
