// The host's objects as any host built to the declared interface lays them out: each host class
// holds exactly the host's members, in the host's order. A plug-in compiled against our
// declarations reads and writes those members at these offsets, so a member of ours inside a
// host class would move every member after it in a real host.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/date_time/posix_time/ptime.hpp>

#include "host/sp_modbus.h"

namespace {

// The host's classes as the host declares them: the listed members only, in the listed order.
struct MirrorRuleValue {
    std::string a, b, c, d;
};
struct MirrorVDeviceInterface {
    virtual ~MirrorVDeviceInterface() = default;
    uint32_t data_id_ = 0;
    std::string device_type_;
    bool use_controller_db_ = false;
};
struct MirrorSMDVDevice : MirrorVDeviceInterface {
    uint16_t check_seq_ = 0;
    boost::posix_time::ptime last_round_time_;
    bool data_ready_ = false;
    std::vector<MirrorRuleValue> rule_values_;
    bool alarm_changed_ = false;
    std::vector<std::string> report_signals_;
    std::map<std::string, float> report_values_;
    std::map<std::string, int> alarm_levels_;
    std::map<std::string, float> alarm_values_;
};
struct MirrorSMDSPDevice : MirrorSMDVDevice {
    int poll_step_ = 0;
    uint8_t driver_flag_ = 0;
    int baud_rate_ = 0;
};
struct MirrorSPModbus : MirrorSMDSPDevice {
    uint16_t rx_regs_[kModbusMaxReadRegisters] = {};
};

// Concrete objects of each class, ours and the mirror's, with one byte after the class's own
// members: its offset is where a derived class may begin, so a member added at a class's end
// (even into its tail padding) moves it.
struct OurVDeviceInterface : VDeviceInterface {
    int LoadFromCache(const unsigned char*, int) override { return 0; }
    int DeviceIoControl(int, const void*, int, void*, int, int&) override { return 0; }
    int RoundDone() override { return 0; }
    int Reset() override { return 0; }
    int InitV(SMDVDevice*, unsigned int, const Json::Value&) override { return 0; }
    int Init(std::weak_ptr<SMDController>, unsigned int, const Json::Value&) override { return 0; }
    int InitSetting(const Json::Value&) override { return 0; }
    bool IsSupportDevice(const std::string&) const override { return false; }
    char end_ = 0;
};
struct OurSMDVDevice : SMDVDevice {
    int LoadFromCache(const unsigned char*, int) override { return 0; }
    int RoundDone() override { return 0; }
    int Reset() override { return 0; }
    int Init(std::weak_ptr<SMDController>, unsigned int, const Json::Value&) override { return 0; }
    int InitSetting(const Json::Value&) override { return 0; }
    char end_ = 0;
};
struct OurSMDSPDevice : SMDSPDevice {
    int LoadFromCache(const unsigned char*, int) override { return 0; }
    int RoundDone() override { return 0; }
    int InitSetting(const Json::Value&) override { return 0; }
    int process(unsigned char*, unsigned int) override { return 0; }
    char end_ = 0;
};
struct OurSPModbus : SPModbus {
    int LoadFromCache(const unsigned char*, int) override { return 0; }
    int RoundDone() override { return 0; }
    int process_payload(tab_type, unsigned int) override { return 0; }
    char end_ = 0;
};
template <typename Base>
struct Ended : Base {
    char end_ = 0;
};

template <typename Object, typename Member>
std::ptrdiff_t offset_in(const Object& object, const Member& member) {
    return reinterpret_cast<const char*>(&member) - reinterpret_cast<const char*>(&object);
}

TEST(HostLayout, VDeviceInterfaceHoldsTheHostsMembersOnly) {
    const OurVDeviceInterface ours;
    const Ended<MirrorVDeviceInterface> host;
    EXPECT_EQ(offset_in(ours, ours.data_id_), offset_in(host, host.data_id_));
    EXPECT_EQ(offset_in(ours, ours.device_type_), offset_in(host, host.device_type_));
    EXPECT_EQ(offset_in(ours, ours.use_controller_db_), offset_in(host, host.use_controller_db_));
    EXPECT_EQ(offset_in(ours, ours.end_), offset_in(host, host.end_));
    EXPECT_EQ(sizeof(VDeviceInterface), sizeof(MirrorVDeviceInterface));
}

TEST(HostLayout, SMDVDeviceHoldsTheHostsMembersOnly) {
    const OurSMDVDevice ours;
    const Ended<MirrorSMDVDevice> host;
    EXPECT_EQ(offset_in(ours, ours.data_id_), offset_in(host, host.data_id_));
    EXPECT_EQ(offset_in(ours, ours.check_seq_), offset_in(host, host.check_seq_));
    EXPECT_EQ(offset_in(ours, ours.last_round_time_), offset_in(host, host.last_round_time_));
    EXPECT_EQ(offset_in(ours, ours.data_ready_), offset_in(host, host.data_ready_));
    EXPECT_EQ(offset_in(ours, ours.rule_values_), offset_in(host, host.rule_values_));
    EXPECT_EQ(offset_in(ours, ours.alarm_changed_), offset_in(host, host.alarm_changed_));
    EXPECT_EQ(offset_in(ours, ours.report_signals_), offset_in(host, host.report_signals_));
    EXPECT_EQ(offset_in(ours, ours.report_values_), offset_in(host, host.report_values_));
    EXPECT_EQ(offset_in(ours, ours.alarm_levels_), offset_in(host, host.alarm_levels_));
    EXPECT_EQ(offset_in(ours, ours.alarm_values_), offset_in(host, host.alarm_values_));
    EXPECT_EQ(offset_in(ours, ours.end_), offset_in(host, host.end_));
    EXPECT_EQ(sizeof(SMDVDevice), sizeof(MirrorSMDVDevice));
    // The queue is emptied by the plug-in: its elements must have the host's size.
    EXPECT_EQ(sizeof(rule_value), sizeof(MirrorRuleValue));
}

TEST(HostLayout, SMDSPDeviceHoldsTheHostsMembersOnly) {
    const OurSMDSPDevice ours;
    const Ended<MirrorSMDSPDevice> host;
    EXPECT_EQ(offset_in(ours, ours.alarm_values_), offset_in(host, host.alarm_values_));
    EXPECT_EQ(offset_in(ours, ours.poll_step_), offset_in(host, host.poll_step_));
    EXPECT_EQ(offset_in(ours, ours.driver_flag_), offset_in(host, host.driver_flag_));
    EXPECT_EQ(offset_in(ours, ours.baud_rate_), offset_in(host, host.baud_rate_));
    EXPECT_EQ(offset_in(ours, ours.end_), offset_in(host, host.end_));
    EXPECT_EQ(sizeof(SMDSPDevice), sizeof(MirrorSMDSPDevice));
}

TEST(HostLayout, SPModbusHoldsTheHostsMembersOnly) {
    const OurSPModbus ours;
    const Ended<MirrorSPModbus> host;
    EXPECT_EQ(offset_in(ours, ours.baud_rate_), offset_in(host, host.baud_rate_));
    EXPECT_EQ(offset_in(ours, ours.rx_regs_), offset_in(host, host.rx_regs_));
    EXPECT_EQ(offset_in(ours, ours.end_), offset_in(host, host.end_));
    EXPECT_EQ(sizeof(SPModbus), sizeof(MirrorSPModbus));
}

}  // namespace
