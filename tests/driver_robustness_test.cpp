// A driver object survives any sequence of replies: random rounds, tables, word counts and
// steps, checked for what must always hold (and, in the sanitizer build, for undefined behaviour).
#include <random>

#include <gtest/gtest.h>

#include "tests/support/plugin_under_test.h"

namespace {

using testing_support::CapturedStdout;
using testing_support::MeterUnderTest;

TEST(DriverRobustness, RandomReplySequences) {
    MeterUnderTest m;
    CapturedStdout quiet;
    std::mt19937 random(20261208);
    KAVREN_M7& meter = m.meter();
    meter.data_.data_id = 0xA5A5A5A5;
    int completed = 0;
    for (int op = 0; op < 50000; ++op) {
        const int step_before = meter.poll_step_;
        const std::size_t reads_before = m.backend.reads.size();
        switch (random() % 8) {
            case 0:
                ASSERT_EQ(meter.RefreshStatus(), 1);
                ASSERT_EQ(meter.poll_step_, 101);
                break;
            case 1:
                meter.poll_step_ = static_cast<int>(random() % 12) + 98;
                break;
            default: {
                const auto table =
                    static_cast<SPModbus::tab_type>(random() % 5 == 0 ? random() % 4 : 1);
                std::vector<uint16_t> words(random() % (kModbusMaxReadRegisters + 1));
                for (auto& w : words) w = static_cast<uint16_t>(random());
                const int result = m.reply(words, table);
                const bool in_round = step_before >= 101 && step_before <= 107;
                if (!in_round || table != SPModbus::TAB_HOLDING_REGISTERS) {
                    ASSERT_EQ(result, 1);
                    ASSERT_EQ(meter.poll_step_, step_before);
                    ASSERT_EQ(m.backend.reads.size(), reads_before);
                } else if (step_before == 107) {
                    ASSERT_EQ(result, 0);
                    ++completed;
                } else {
                    ASSERT_EQ(result, 1);
                    ASSERT_EQ(meter.poll_step_, step_before + 1);
                    ASSERT_EQ(m.backend.reads.size(), reads_before + 1);
                }
            }
        }
        // Packed fields are copied out, never bound by reference.
        const auto record = m.record_bytes();
        ASSERT_EQ(testing_support::u32_at(record, 0), 0xA5A5A5A5u);
        ASSERT_LE(record.at(offsetof(KAVREN_M7_Data_t, reg258_bit8)), 1);
        ASSERT_LE(record.at(offsetof(KAVREN_M7_Data_t, limit_alarm) + 5), 1);
    }
    EXPECT_GT(completed, 100);
    EXPECT_EQ(m.backend.publications.size(), static_cast<std::size_t>(completed));
    m.backend.clear();
}

}  // namespace
