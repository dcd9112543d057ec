// Device settings: the printed lines byte for byte, what is stored, and the hand-over to the
// host's Modbus layer.
#include <json/json.h>

#include <gtest/gtest.h>

#include "tests/support/plugin_under_test.h"

namespace {

using testing_support::CapturedStdout;
using testing_support::MeterUnderTest;
using Map = std::map<std::string, std::string>;

Json::Value parse(const std::string& text) {
    Json::Value value;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
        ADD_FAILURE() << "bad test JSON: " << errors;
    }
    return value;
}

class DeviceSettings : public ::testing::Test {
  protected:
    MeterUnderTest m;
    int result = 0;

    DeviceSettings() { m.device()->data_id_ = 77; }

    // Applies the settings and returns what was printed.
    std::string apply(const std::string& json) {
        CapturedStdout out;
        result = m.device()->InitSetting(parse(json));
        return out.text();
    }
};

TEST_F(DeviceSettings, WithoutAppSettingNothingIsPrintedButTheDataIdIsStamped) {
    m.backend.init_setting_result = 7;
    EXPECT_EQ(apply(R"({"thresholdSetting": {"k": {"NMAlarmID": "1"}}})"), "");
    EXPECT_EQ(m.meter().b_mode_, 1);
    EXPECT_TRUE(m.meter().alarm_ids_.empty());
    EXPECT_EQ(testing_support::u32_at(m.record_bytes(), 0), 77u);  // the packed field, copied
    auto record = m.record_bytes();
    EXPECT_EQ(std::count(record.begin() + 4, record.end(), 0), 255);
    EXPECT_EQ(result, 7);
    ASSERT_EQ(m.backend.settings.size(), 1u);
    EXPECT_EQ(parse(m.backend.settings[0]),
              parse(R"({"thresholdSetting": {"k": {"NMAlarmID": "1"}}})"));
}

TEST_F(DeviceSettings, AppSettingThatIsNoObjectIsIgnored) {
    EXPECT_EQ(apply(R"({"appSetting": ["b_mode", "3"]})"), "");
    EXPECT_EQ(apply(R"({"appSetting": "b_mode=3"})"), "");
    EXPECT_EQ(apply(R"({"appSetting": null})"), "");
    EXPECT_EQ(apply(R"({"appSetting": {"b_mode": null}})"), "");
    EXPECT_EQ(m.meter().b_mode_, 1);
    EXPECT_EQ(m.backend.settings.size(), 4u);
}

TEST_F(DeviceSettings, ModeThreeWithoutThresholds) {
    EXPECT_EQ(apply(R"({"appSetting": {"b_mode": "3"}})"), "InitSetting 77 b_mode_:3\nhere 1\n");
    EXPECT_EQ(m.meter().b_mode_, 3);
    EXPECT_EQ(apply(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": {}})"),
              "InitSetting 77 b_mode_:3\nhere 1\nhere 2\n");
    EXPECT_TRUE(m.meter().alarm_ids_.empty());
    EXPECT_TRUE(m.meter().signal_names_.empty());
}

TEST_F(DeviceSettings, ModeIsReadWithAtoi) {
    EXPECT_EQ(apply(R"({"appSetting": {"b_mode": "abc"}, "thresholdSetting": {"k": {}}})"),
              "InitSetting 77 b_mode_:0\n");
    EXPECT_EQ(apply(R"({"appSetting": {"b_mode": " 3 apples"}})"),
              "InitSetting 77 b_mode_:3\nhere 1\n");
    EXPECT_EQ(apply(R"({"appSetting": {"b_mode": 3}})"), "InitSetting 77 b_mode_:3\nhere 1\n");
    EXPECT_EQ(apply(R"({"appSetting": {"b_mode": "-12"}})"), "InitSetting 77 b_mode_:-12\n");
    m.device()->data_id_ = 4294967295u;
    EXPECT_EQ(apply(R"({"appSetting": {"b_mode": "2"}})"), "InitSetting 4294967295 b_mode_:2\n");
}

TEST_F(DeviceSettings, EntriesWithMissingIdentifications) {
    const std::string out = apply(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": {
        "bare": {},
        "named": {"SignalName": "A 相电压"},
        "full": {"SignalName": "UA", "NMAlarmID": "N1", "ID": "7", "SignalNumber": "0012"},
        "skipped": "not an object"}})");
    EXPECT_EQ(out,
              "InitSetting 77 b_mode_:3\nhere 1\nhere 2\n"
              "here bare\n77 NMAlarmID is missing\n77 ID is missing\n77 SignalNumber is missing\n"
              "mobile:bare:;;; level:0 value:0\n"
              "here full\nmobile:full:N1;7;0012; level:0 value:0\n"
              "here named\n77 NMAlarmID is missing\n77 ID is missing\n77 SignalNumber is missing\n"
              "mobile:named:;;; level:0 value:0\n"
              "here skipped\n");
    EXPECT_EQ(m.meter().alarm_ids_,
              (Map{{"bare", ";;;"}, {"full", "N1;7;0012;"}, {"named", ";;;"}}));
    EXPECT_EQ(m.meter().signal_names_, (Map{{"full", "UA"}, {"named", "A 相电压"}}));
}

TEST_F(DeviceSettings, HostAlarmMapsAreLoggedAndGainMissingKeys) {
    m.meter().alarm_levels_["known"] = 2;
    m.meter().alarm_values_["known"] = 1.5f;
    m.meter().alarm_values_["third"] = 1.0f / 3.0f;
    const std::string out = apply(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": {
        "known": {"NMAlarmID": "a", "ID": "b", "SignalNumber": "c"},
        "third": {"NMAlarmID": "a", "SignalNumber": "c"},
        "unknown": {"NMAlarmID": "x", "ID": "y", "SignalNumber": "z"}}})");
    EXPECT_EQ(out,
              "InitSetting 77 b_mode_:3\nhere 1\nhere 2\n"
              "here known\nmobile:known:a;b;c; level:2 value:1.5\n"
              "here third\n77 ID is missing\nmobile:third:a;;c; level:0 value:0.333333\n"
              "here unknown\nmobile:unknown:x;y;z; level:0 value:0\n");
    EXPECT_EQ(m.meter().alarm_levels_.count("unknown"), 1u);
    EXPECT_EQ(m.meter().alarm_levels_.at("third"), 0);
    EXPECT_EQ(m.meter().alarm_values_.count("unknown"), 1u);
}

TEST_F(DeviceSettings, ALaterCallAddsAndOverwritesButRemovesNothing) {
    apply(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": {
        "a": {"SignalName": "first", "NMAlarmID": "1", "ID": "2", "SignalNumber": "3"},
        "b": {"SignalName": "kept", "NMAlarmID": "4", "ID": "5", "SignalNumber": "6"}}})");
    // No appSetting: the mode of the first call still reads the thresholds.
    EXPECT_EQ(apply(R"({"thresholdSetting": {"a": {"SignalName": "second", "ID": "9"}}})"),
              "here 1\nhere 2\nhere a\n77 NMAlarmID is missing\n77 SignalNumber is missing\n"
              "mobile:a:;9;; level:0 value:0\n");
    EXPECT_EQ(m.meter().alarm_ids_, (Map{{"a", ";9;;"}, {"b", "4;5;6;"}}));
    EXPECT_EQ(m.meter().signal_names_, (Map{{"a", "second"}, {"b", "kept"}}));
}

TEST_F(DeviceSettings, ThresholdsThatAreNoObjectHoldNoEntries) {
    EXPECT_EQ(
        apply(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": [{"SignalName": "x"}]})"),
        "InitSetting 77 b_mode_:3\nhere 1\nhere 2\n");
    EXPECT_EQ(apply(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": "text"})"),
              "InitSetting 77 b_mode_:3\nhere 1\nhere 2\n");
    EXPECT_EQ(apply(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": 12})"),
              "InitSetting 77 b_mode_:3\nhere 1\nhere 2\n");
    EXPECT_TRUE(m.meter().alarm_ids_.empty());
    EXPECT_EQ(m.backend.settings.size(), 3u);
}

TEST_F(DeviceSettings, SettingsThatAreNoObjectHaveNoMembers) {
    for (const char* json : {"[1, 2]", "\"text\"", "null", "3"}) {
        m.backend.init_setting_result = -4;
        EXPECT_EQ(apply(json), "") << json;
        EXPECT_EQ(result, -4);
        EXPECT_EQ(testing_support::u32_at(m.record_bytes(), 0), 77u);  // the packed field, copied
    }
    EXPECT_EQ(m.backend.settings.size(), 4u);
}

TEST_F(DeviceSettings, ARefusedConversionLeavesWithTheLibraryException) {
    CapturedStdout out;
    EXPECT_THROW(m.device()->InitSetting(parse(R"({"appSetting": {"b_mode": {"x": 1}}})")),
                 Json::LogicError);
    EXPECT_THROW(
        m.device()->InitSetting(parse(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": {
        "a": {"SignalName": "ok"}, "b": {"SignalName": ["no"]}}})")),
        Json::LogicError);
    // What was stored before the refusal stays; the Modbus layer never got these settings.
    EXPECT_EQ(m.meter().signal_names_, (Map{{"a", "ok"}}));
    EXPECT_EQ(m.meter().alarm_ids_, (Map{{"a", ";;;"}}));
    EXPECT_TRUE(m.backend.settings.empty());
}

}  // namespace
