// Our stand-in host: the packed time and the host without services.
#include <cmath>

#include <gtest/gtest.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "tests/support/plugin_under_test.h"

namespace {

using namespace boost::posix_time;
using boost::gregorian::date;

std::vector<uint8_t> bytes_of(const TTime& t) {
    const auto* b = reinterpret_cast<const uint8_t*>(&t);
    return std::vector<uint8_t>(b, b + sizeof t);
}

TEST(PackedTime, YearLittleEndianThenMonthDayHourMinuteSecond) {
    const ptime t(date(2026, 12, 8), hours(3) + minutes(4) + seconds(59));
    EXPECT_EQ(bytes_of(get_ttime(t)), (std::vector<uint8_t>{0xEA, 0x07, 12, 8, 3, 4, 59}));
    const ptime last(date(1999, 1, 31), hours(23) + minutes(59) + seconds(58));
    EXPECT_EQ(bytes_of(get_ttime(last)), (std::vector<uint8_t>{0xCF, 0x07, 1, 31, 23, 59, 58}));
}

TEST(PackedTime, NotADateTimePacksToZeros) {
    EXPECT_EQ(bytes_of(get_ttime(ptime())), std::vector<uint8_t>(7, 0));
    EXPECT_EQ(bytes_of(get_ttime(ptime(boost::date_time::pos_infin))), std::vector<uint8_t>(7, 0));
}

TEST(HostWithoutServices, ReportsEveryOutsideOperationAsNotSupported) {
    testing_support::MeterUnderTest m;
    SMDSPDevice& device = *m.device();
    set_host_backend(device, nullptr);
    const unsigned char bytes[3] = {1, 2, 3};
    EXPECT_FALSE(device.SendSP(1, bytes, 3, false));
    EXPECT_FALSE(device.SaveDeviceHistory(bytes, 3));
    EXPECT_FALSE(device.OpenPort());
    EXPECT_EQ(device.SendData(bytes, 3), -1);
    EXPECT_EQ(device.ReadDi(0), -1);
    EXPECT_TRUE(std::isnan(device.ReadAi(0)));
    int used = 5;
    EXPECT_EQ(device.DeviceIoControl(1, nullptr, 0, nullptr, 0, used), -1);
    EXPECT_EQ(used, 0);
    // A read the host cannot perform is not left pending.
    EXPECT_EQ(m.meter().modbus_read_registers(0, 6), -1);
    EXPECT_FALSE(has_pending_read(m.meter()));
}

TEST(ModbusLayer, RefusesReadsOutsideTheProtocol) {
    testing_support::MeterUnderTest m;
    SPModbus& modbus = m.meter();
    EXPECT_EQ(modbus.modbus_read_registers(-1, 1), -1);
    EXPECT_EQ(modbus.modbus_read_registers(0, 0), -1);
    EXPECT_EQ(modbus.modbus_read_registers(0, 126), -1);
    EXPECT_EQ(modbus.modbus_read_registers(65535, 2), -1);
    EXPECT_TRUE(m.backend.reads.empty());
    EXPECT_EQ(modbus.modbus_read_registers(65535, 1), 0);
    EXPECT_EQ(pending_read(modbus).start, 65535);
    EXPECT_EQ(modbus.modbus_read_registers(0, 125), 0);
    EXPECT_EQ(pending_read(modbus).count, 125);
}

}  // namespace
