// The six limit reports of every round: keys, sequence, flags and Chinese descriptions.
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "tests/support/plugin_under_test.h"

namespace {

using testing_support::CapturedStdout;
using testing_support::MeterUnderTest;
using testing_support::RegisterImage;

class LimitAlarms : public ::testing::Test {
  protected:
    MeterUnderTest m;
    CapturedStdout quiet;

    // Restores a record holding these limits and returns the round's six reports.
    std::vector<LimitReport> reports_for(const std::vector<LimitEntry>& limits,
                                         const std::vector<uint8_t>& flags = {}) {
        KAVREN_M7_Data_t record{};
        for (std::size_t i = 0; i < limits.size(); ++i) record.limits[i] = limits[i];
        for (std::size_t i = 0; i < flags.size(); ++i) record.limit_alarm[i] = flags[i];
        m.backend.clear();
        m.device()->LoadFromCache(reinterpret_cast<const unsigned char*>(&record), 259);
        return m.backend.limit_reports;
    }
    std::string description_for(int16_t signal, float value) {
        return reports_for({LimitEntry{0, value, signal, 0}}).at(0).text;
    }
};

TEST_F(LimitAlarms, SixReportsPerRoundNumberedOneToSix) {
    RegisterImage image;
    for (int round = 0; round < 2; ++round) {
        m.backend.clear();
        m.run_round(image);
        ASSERT_EQ(m.backend.limit_reports.size(), 6u);
        for (int i = 0; i < 6; ++i) {
            const LimitReport& r = m.backend.limit_reports[i];
            EXPECT_EQ(r.kind, 2);
            EXPECT_EQ(r.key, std::to_string(i) + " KAVREN_M7");
            EXPECT_EQ(r.code, "16012");
            EXPECT_EQ(r.text, "A 相功率因数大于0");
            EXPECT_EQ(r.recover_text, r.text);
            EXPECT_FALSE(r.active);
            EXPECT_EQ(r.sequence, i + 1);
        }
        EXPECT_EQ(m.meter().check_seq_, 7);
    }
}

TEST_F(LimitAlarms, ViolationFollowsAnyNonzeroFlagByte) {
    const auto reports = reports_for({}, {0, 1, 2, 0xFF, 0, 0x80});
    const bool expected[] = {false, true, true, true, false, true};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(reports[i].active, expected[i]) << i;

    RegisterImage image;
    image.set(262, 0x0022);  // limits 1 and 5
    m.backend.clear();
    m.run_round(image);
    EXPECT_TRUE(m.backend.limit_reports[1].active);
    EXPECT_TRUE(m.backend.limit_reports[5].active);
    EXPECT_FALSE(m.backend.limit_reports[0].active);
}

TEST_F(LimitAlarms, MeasurandNamesAndTheFallback) {
    const char* const names[32] = {"A 相功率因数", "B 相功率因数", "C 相功率因数", "总相功率因数",
                                   "无效告警",     "无效告警",     "频率",         "A 相电压",
                                   "B 相电压",     "C 相电压",     "无效告警",     "AB 线电压",
                                   "BC 线电压",    "CA 线电压",    "无效告警",     "A 相电流",
                                   "B 相电流",     "C 相电流",     "无效告警",     "无效告警",
                                   "A 相有功功率", "B 相有功功率", "C 相有功功率", "总相有功功率",
                                   "A 相无功功率", "B 相无功功率", "C 相无功功率", "总相无功功率",
                                   "A 相视在功率", "B 相视在功率", "C 相视在功率", "总相视在功率"};
    for (int16_t code = 1; code < 32; ++code) {
        EXPECT_EQ(description_for(code, 0.0f), std::string(names[code]) + "小于0") << code;
    }
    EXPECT_EQ(description_for(0, 0.0f), "A 相功率因数大于0");
    for (int16_t code : {32, -1, 33, 1000, -32768, 32767}) {
        EXPECT_EQ(description_for(code, 0.0f), "无效告警小于0") << code;
    }
    // The only blank is the one after the phase letters.
    EXPECT_EQ(description_for(11, 100.0f), "AB 线电压小于1");
    EXPECT_EQ(description_for(3, 100.0f), "总相功率因数小于1");
}

TEST_F(LimitAlarms, ValueTextIsTheRawValueOverTenThousandInNineDigits) {
    // Through the poll: raw limit value registers to description text.
    const std::pair<int32_t, const char*> table[] = {{0, "0"},
                                                     {100, "0.00999999978"},
                                                     {10000, "1"},
                                                     {22000, "2.20000005"},
                                                     {24200, "2.42000008"},
                                                     {-500, "-0.0500000007"},
                                                     {1, "9.99999975e-05"}};
    for (const auto& row : table) {
        RegisterImage image;
        image.set_pair(273, static_cast<uint32_t>(row.first));
        image.set(275, 7);
        m.backend.clear();
        m.run_round(image);
        EXPECT_EQ(m.backend.limit_reports.at(0).text, std::string("A 相电压小于") + row.second)
            << row.first;
    }
}

TEST_F(LimitAlarms, InfinitiesAndNaNsOfARestoredRecord) {
    const auto from_bits = [](uint32_t bits) {
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    };
    EXPECT_EQ(description_for(6, from_bits(0x7F800000)), "频率小于inf");
    EXPECT_EQ(description_for(6, from_bits(0xFF800000)), "频率小于-inf");
    EXPECT_EQ(description_for(6, from_bits(0x7FC00000)), "频率小于nan");
    EXPECT_EQ(description_for(6, from_bits(0xFFC00001)), "频率小于-nan");
    EXPECT_EQ(description_for(6, std::numeric_limits<float>::max()), "频率小于3.40282359e+36");
    EXPECT_EQ(description_for(6, from_bits(0x00000001)), "频率小于0");
    EXPECT_EQ(description_for(6, -0.0f), "频率小于-0");
    EXPECT_EQ(description_for(6, 1.0e7f), "频率小于100000");
    EXPECT_EQ(description_for(6, 1.0e11f), "频率小于1e+09");
}

TEST_F(LimitAlarms, SequenceWrapsAtSixteenBits) {
    // RoundDone starts every round at 1; called on its own, the driver continues from where the
    // host left the sequence.
    m.meter().check_seq_ = 65535;
    m.meter().RunCheckThreshold();
    ASSERT_EQ(m.backend.limit_reports.size(), 6u);
    EXPECT_EQ(m.backend.limit_reports[0].sequence, 65535);
    EXPECT_EQ(m.backend.limit_reports[1].sequence, 0);
    EXPECT_EQ(m.meter().check_seq_, 5);
}

}  // namespace
