// Measurements by name: the thirteen keys, freshness, and the three refusals.
#include <gtest/gtest.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "tests/support/plugin_under_test.h"

namespace {

using boost::posix_time::second_clock;
using boost::posix_time::seconds;
using testing_support::bits_of;
using testing_support::CapturedStdout;
using testing_support::f32_at;
using testing_support::MeterUnderTest;
using testing_support::RegisterImage;

const char* const kKeys[] = {"UA",  "UB",         "UC",         "UAverage_1", "UAB",
                             "UBC", "UCA",        "UAverage_2", "IA",         "IB",
                             "IC",  "IAverage_1", "ZeroCurrent"};

// The refusal text of a request, or "" when it was served.
std::string refusal(MeterUnderTest& m, const std::string& name, unsigned int channel = 0) {
    try {
        m.meter().Get_Value(channel, name);
        return "";
    } catch (const std::out_of_range& e) {
        return e.what();
    }
}

class MeasurementLookup : public ::testing::Test {
  protected:
    MeterUnderTest m;
    CapturedStdout quiet;

    void complete_round() {
        RegisterImage image;
        image.set_pair(4, 20000);  // current ratio 2.0
        for (int k = 0; k < 13; ++k) image.set(4096 + k, static_cast<uint16_t>(1000 * (k + 1) + k));
        m.run_round(image);
    }

    // Runs `check` with the last round `age_seconds` ago, retrying if the clock's second turned
    // over meanwhile.
    template <typename Check>
    void with_age(long age_seconds, Check check) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            const auto now = second_clock::local_time();
            m.meter().last_round_time_ = now - seconds(age_seconds);
            const auto result = check();
            if (second_clock::local_time() == now) {
                SCOPED_TRACE(age_seconds);
                result();
                return;
            }
        }
        FAIL() << "the clock kept turning over";
    }
};

TEST_F(MeasurementLookup, NothingBeforeTheFirstRound) {
    for (const char* key : kKeys) EXPECT_EQ(refusal(m, key), "数据未就绪") << key;
    EXPECT_EQ(refusal(m, "no such value"), "数据未就绪");
    EXPECT_EQ(refusal(m, ""), "数据未就绪");
}

TEST_F(MeasurementLookup, ServesTheExactStoredFloatsInKeyOrder) {
    complete_round();
    const auto record = m.record_bytes();
    for (int k = 0; k < 13; ++k) {
        const float value = m.meter().Get_Value(0, kKeys[k]);
        EXPECT_EQ(bits_of(value), bits_of(f32_at(record, 92 + 4 * k))) << kKeys[k];
        EXPECT_EQ(bits_of(m.meter().Get_Value(0xFFFFFFFF, kKeys[k])), bits_of(value));
    }
    EXPECT_EQ(bits_of(m.meter().Get_Value(0, "UA")), bits_of(10.0f));
    EXPECT_EQ(bits_of(m.meter().Get_Value(0, "IA")), bits_of(18.016f));
}

TEST_F(MeasurementLookup, NamesAreComparedExactly) {
    complete_round();
    for (const char* name :
         {"ua", "Ua", "UA ", " UA", "", "UAverage", "UAverage_3", "ZEROCURRENT", "I A", "UA\n"}) {
        EXPECT_EQ(refusal(m, name), "不支持变量") << "'" << name << "'";
    }
    EXPECT_EQ(refusal(m, std::string("UA\0", 3)), "不支持变量");
}

TEST_F(MeasurementLookup, FreshForSixtySecondsAndWhenTheClockWentBack) {
    complete_round();
    with_age(60, [&] {
        auto got = refusal(m, "IA");
        return [got] { EXPECT_EQ(got, ""); };
    });
    with_age(61, [&] {
        auto known = refusal(m, "IA");
        auto unknown = refusal(m, "nope");
        return [known, unknown] {
            EXPECT_EQ(known, "数据已超时");
            EXPECT_EQ(unknown, "数据已超时");
        };
    });
    with_age(-3600, [&] {
        auto got = refusal(m, "UC");
        return [got] { EXPECT_EQ(got, ""); };
    });
    with_age(100000, [&] {
        auto got = refusal(m, "UC");
        return [got] { EXPECT_EQ(got, "数据已超时"); };
    });
    // The next round makes the data fresh again.
    complete_round();
    EXPECT_EQ(refusal(m, "IA"), "");
}

TEST_F(MeasurementLookup, ARestoredRecordIsServedAndZeroIsAValue) {
    KAVREN_M7_Data_t cached{};
    cached.UB = 231.5f;
    cached.ZeroCurrent = -0.0f;
    EXPECT_EQ(m.device()->LoadFromCache(reinterpret_cast<const unsigned char*>(&cached), 259), 1);
    EXPECT_EQ(m.meter().Get_Value(0, "UB"), 231.5f);
    EXPECT_EQ(bits_of(m.meter().Get_Value(0, "UA")), bits_of(0.0f));
    EXPECT_EQ(bits_of(m.meter().Get_Value(0, "ZeroCurrent")), bits_of(-0.0f));
}

}  // namespace
