#pragma once

#include <string>

#include "host/sp_modbus.h"
#include "meter/kavren_m7_data.h"
#include "unidata/uni_data_device.h"

// Data id under which the meter record is published.
constexpr int kKavrenM7DataId = 5169;

using KAVREN_M7_Base = UniDataDevice<KAVREN_M7_Data_t, SPModbus, kKavrenM7DataId>;

// Driver of the KAVREN_M7 three-phase power meter. All its state lives in the host's base members
// and the record of UniDataDevice.
class KAVREN_M7 : public KAVREN_M7_Base {
  public:
    KAVREN_M7();
    ~KAVREN_M7() override;

    // Voltages and currents by name; throws std::out_of_range while no fresh record is there.
    float Get_Value(unsigned int channel, const std::string& name) const override;
    // Starts a poll round with the read of the setup block.
    int RefreshStatus() override;
    // Decodes a reply by the current poll step and issues the next read; 0 when it completed
    // the round.
    int process_payload(SPModbus::tab_type table, unsigned int count) override;
    // Reports the meter's six limits.
    void RunCheckThreshold() override;

    // Measurand name for a limit's measurand code, "无效告警" for codes the meter leaves unnamed.
    std::string getSignalName(int code);

    // Measurand names by code 0 to 31; entry 32 is the fallback.
    static const char* const signalName[33];
};
