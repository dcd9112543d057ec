// Round completion and the cache restore, as the host's back-end observes them.
#include <gtest/gtest.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "tests/support/plugin_under_test.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::second_clock;
using testing_support::CapturedStdout;
using testing_support::MeterUnderTest;
using testing_support::RegisterImage;
using Calls = std::vector<std::string>;

std::vector<uint8_t> ttime_bytes(ptime t) {
    const TTime packed = get_ttime(t);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&packed);
    return std::vector<uint8_t>(bytes, bytes + sizeof packed);
}

class RoundCompletion : public ::testing::Test {
  protected:
    MeterUnderTest m;
    RegisterImage image;

    // Runs a round and returns what it printed.
    std::string round() {
        CapturedStdout out;
        m.run_round(image);
        return out.text();
    }
    Calls calls_after(std::size_t first) const {
        return Calls(m.backend.calls.begin() + static_cast<long>(first), m.backend.calls.end());
    }
};

TEST_F(RoundCompletion, StepsInOrderAsTheHostSeesThem) {
    m.meter().report_signals_ = {"UA", "IB", "UA", "not valued"};
    m.meter().report_values_ = {{"UA", 230.5f}, {"IB", 1.25f}};
    m.meter().rule_values_.resize(2);
    m.meter().RefreshStatus();
    for (int step = 0; step < 6; ++step) m.reply(std::vector<uint16_t>(30, 0));
    const std::size_t first = m.backend.calls.size();

    CapturedStdout out;
    EXPECT_EQ(m.reply(std::vector<uint16_t>(16, 0)), 0);
    EXPECT_EQ(out.text(), "rvSize is 2\n");
    EXPECT_EQ(
        calls_after(first),
        (Calls{"SendSP", "Reset", "CheckThresholdBool", "CheckThresholdBool", "CheckThresholdBool",
               "CheckThresholdBool", "CheckThresholdBool", "CheckThresholdBool", "CheckAOReport",
               "CheckThreshold", "CheckAOReport", "CheckThreshold", "CheckAOReport",
               "CheckThreshold", "DoBatchCheckThreshold", "SaveDeviceHistory"}));
    ASSERT_EQ(m.backend.ao_reports.size(), 3u);
    EXPECT_EQ(m.backend.ao_reports[1].signal, "IB");
    EXPECT_EQ(m.backend.ao_reports[1].value, 1.25f);
    ASSERT_EQ(m.backend.threshold_checks.size(), 3u);
    EXPECT_EQ(m.backend.threshold_checks[0].signal, "UA");
    EXPECT_EQ(m.backend.threshold_checks[0].text, "");
    EXPECT_EQ(m.backend.threshold_checks[0].value, 230.5f);
    EXPECT_EQ(m.backend.threshold_checks[0].level, 1);
    EXPECT_EQ(m.backend.batch_sizes, (std::vector<std::size_t>{2}));
    EXPECT_TRUE(m.meter().rule_values_.empty());
    EXPECT_EQ(m.meter().report_values_.size(), 2u);
    EXPECT_EQ(m.meter().check_seq_, 7);
}

TEST_F(RoundCompletion, PublishesAndStoresTheStampedRecord) {
    m.device()->data_id_ = 0x01020304;
    m.meter().data_.data_id = 0x01020304;
    const ptime before = second_clock::local_time();
    EXPECT_EQ(round(), "rvSize is 0\n");
    const ptime after = second_clock::local_time();

    ASSERT_EQ(m.backend.publications.size(), 1u);
    const auto& published = m.backend.publications[0];
    EXPECT_EQ(published.data_id, 5169);
    EXPECT_FALSE(published.immediate);
    EXPECT_EQ(published.record, m.record_bytes());
    ASSERT_EQ(published.record.size(), 259u);
    EXPECT_EQ(std::vector<uint8_t>(published.record.begin(), published.record.begin() + 4),
              (std::vector<uint8_t>{4, 3, 2, 1}));
    ASSERT_EQ(m.backend.histories.size(), 1u);
    EXPECT_EQ(m.backend.histories[0], published.record);

    const ptime stamped = m.meter().last_round_time_;
    EXPECT_TRUE(before <= stamped && stamped <= after);
    EXPECT_EQ(std::vector<uint8_t>(published.record.begin() + 252, published.record.end()),
              ttime_bytes(stamped));
    EXPECT_TRUE(m.meter().data_ready_);
    // Nothing queued: the batch check still runs with the empty queue.
    EXPECT_EQ(m.backend.batch_sizes, (std::vector<std::size_t>{0}));
    EXPECT_TRUE(m.backend.ao_reports.empty());
}

TEST_F(RoundCompletion, AlarmChangedDescribesTheLastRoundOnly) {
    m.meter().report_signals_ = {"UA"};
    m.meter().report_values_ = {{"UA", 1.0f}};
    m.backend.ao_report_result = true;
    round();
    EXPECT_TRUE(m.meter().alarm_changed_);
    m.backend.ao_report_result = false;
    round();
    EXPECT_FALSE(m.meter().alarm_changed_);
    m.backend.batch_result = true;
    round();
    EXPECT_TRUE(m.meter().alarm_changed_);
}

TEST_F(RoundCompletion, ACachedRecordOfAnyOtherLengthIsRefused) {
    std::vector<uint8_t> cached(300, 0xAB);
    CapturedStdout out;
    for (int length : {258, 260, 0, -1, -259, 1 << 30}) {
        EXPECT_EQ(m.device()->LoadFromCache(cached.data(), length), 0) << length;
    }
    EXPECT_EQ(m.device()->LoadFromCache(nullptr, 259), 0);
    EXPECT_EQ(out.text(), "");
    EXPECT_TRUE(m.backend.calls.empty());
    EXPECT_FALSE(m.device()->data_ready_);
    EXPECT_TRUE(m.meter().last_round_time_.is_not_a_date_time());
    EXPECT_EQ(m.record_bytes(), std::vector<uint8_t>(259, 0));
}

TEST_F(RoundCompletion, ARestoredRecordCompletesLikeARound) {
    std::vector<uint8_t> cached(259);
    for (std::size_t i = 0; i < cached.size(); ++i) cached[i] = static_cast<uint8_t>(i * 13 + 5);
    CapturedStdout out;
    EXPECT_EQ(m.device()->LoadFromCache(cached.data(), 259), 1);
    EXPECT_EQ(out.text(), "rvSize is 0\n");

    const auto record = m.record_bytes();
    EXPECT_TRUE(std::equal(cached.begin(), cached.begin() + 252, record.begin()));
    EXPECT_EQ(std::vector<uint8_t>(record.begin() + 252, record.end()),
              ttime_bytes(m.meter().last_round_time_));
    EXPECT_TRUE(m.device()->data_ready_);
    ASSERT_EQ(m.backend.publications.size(), 1u);
    EXPECT_EQ(m.backend.publications[0].data_id, 5169);
    EXPECT_EQ(m.backend.publications[0].record, record);
    ASSERT_EQ(m.backend.histories.size(), 1u);
    EXPECT_EQ(m.backend.histories[0].size(), 259u);
    EXPECT_EQ(m.backend.limit_reports.size(), 6u);
}

TEST_F(RoundCompletion, AHostThatChangesItsSignalsDuringTheChecksIsSafe) {
    // The host's report handler drops the value it was given and adds two more signals.
    struct Rearranging : RecordingBackend {
        KAVREN_M7* meter = nullptr;
        bool check_ao_report(SMDVDevice& device, const std::string& signal, float value) override {
            RecordingBackend::check_ao_report(device, signal, value);
            meter->report_values_.erase(signal);
            if (meter->report_signals_.size() < 4) {
                meter->report_signals_.push_back("IB");
                meter->report_values_["IB"] = 2.0f;
            }
            return false;
        }
    } host;
    host.meter = &m.meter();
    set_host_backend(*m.device(), &host);
    m.meter().report_signals_ = {"UA", "UB"};
    m.meter().report_values_ = {{"UA", 1.0f}, {"UB", 1.5f}};
    CapturedStdout out;
    const std::vector<uint8_t> cached(259, 0);
    ASSERT_EQ(m.device()->LoadFromCache(cached.data(), 259), 1);
    // UA and UB are reported; the added IB too; the dropped values get no threshold check.
    ASSERT_EQ(host.ao_reports.size(), 3u);
    EXPECT_EQ(host.ao_reports[2].signal, "IB");
    EXPECT_TRUE(host.threshold_checks.empty());
    set_host_backend(*m.device(), &m.backend);
}

TEST_F(RoundCompletion, AnExceptionFromTheHostLeavesTheRoundAtThatStep) {
    struct ThrowingBackend : RecordingBackend {
        bool check_ao_report(SMDVDevice&, const std::string&, float) override {
            throw std::runtime_error("alarm store unavailable");
        }
    } throwing;
    set_host_backend(*m.device(), &throwing);
    m.meter().report_signals_ = {"UA"};
    m.meter().report_values_ = {{"UA", 1.0f}};
    m.meter().rule_values_.resize(1);
    CapturedStdout out;
    std::vector<uint8_t> cached(259, 1);
    EXPECT_THROW(m.device()->LoadFromCache(cached.data(), 259), std::runtime_error);
    EXPECT_EQ(throwing.publications.size(), 1u);
    EXPECT_TRUE(throwing.histories.empty());
    EXPECT_EQ(m.meter().rule_values_.size(), 1u);
    set_host_backend(*m.device(), &m.backend);
}

}  // namespace
