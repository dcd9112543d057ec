// The poll round through the built plug-in: reads issued, replies decoded to the exact bits.
#include <sstream>

#include <gtest/gtest.h>

#include "tests/support/plugin_under_test.h"

namespace {

using testing_support::bits_of;
using testing_support::CapturedStdout;
using testing_support::f32_at;
using testing_support::i16_at;
using testing_support::MeterUnderTest;
using testing_support::RegisterImage;
using testing_support::u16_at;
using Read = std::pair<int, int>;

const std::vector<Read> kRoundReads = {{0, 6},     {256, 7},   {272, 30}, {308, 1},
                                       {4096, 30}, {8192, 16}, {8448, 16}};

// Register values of a reply frame: unit, function 3, byte count, data high byte first, CRC.
std::vector<uint16_t> words_of_frame(const std::string& hex) {
    std::istringstream in(hex);
    std::vector<int> bytes;
    for (std::string byte; in >> byte;) bytes.push_back(std::stoi(byte, nullptr, 16));
    uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i + 2 < bytes.size(); ++i) {
        crc ^= static_cast<uint16_t>(bytes[i]);
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    EXPECT_EQ(crc, bytes[bytes.size() - 2] | (bytes.back() << 8)) << "CRC of " << hex;
    EXPECT_EQ(bytes[2], static_cast<int>(bytes.size()) - 5);
    std::vector<uint16_t> words;
    for (std::size_t i = 3; i + 3 < bytes.size(); i += 2) {
        words.push_back(static_cast<uint16_t>(bytes[i] << 8 | bytes[i + 1]));
    }
    return words;
}

class PollRound : public ::testing::Test {
  protected:
    MeterUnderTest m;
    CapturedStdout out;  // the round-end line is checked elsewhere
};

TEST_F(PollRound, RefreshStatusIssuesTheSetupReadOnly) {
    EXPECT_EQ(m.meter().RefreshStatus(), 1);
    EXPECT_EQ(m.meter().poll_step_, 101);
    EXPECT_EQ(m.backend.reads, (std::vector<Read>{{0, 6}}));
    EXPECT_EQ(m.backend.calls,
              (std::vector<std::string>{"RefreshStatus", "modbus_read_registers"}));
    EXPECT_EQ(m.record_bytes(), std::vector<uint8_t>(259, 0));
}

TEST_F(PollRound, SevenRepliesReadEveryBlockInOrderAndCompleteOnce) {
    RegisterImage image;
    EXPECT_EQ(m.run_round(image), (std::vector<int>{1, 1, 1, 1, 1, 1, 0}));
    EXPECT_EQ(m.backend.reads, kRoundReads);
    EXPECT_EQ(m.backend.publications.size(), 1u);
    EXPECT_EQ(m.meter().poll_step_, 107);

    int registers = 0;
    for (const auto& read : m.backend.reads) registers += read.second;
    EXPECT_EQ(registers, 106);
}

TEST_F(PollRound, CapturedSetupAndStatusFrames) {
    m.meter().RefreshStatus();
    m.reply(words_of_frame("01 03 0C 00 01 00 02 00 00 27 10 00 00 4E 20 7D 80"));
    m.reply(words_of_frame("01 03 0E 00 00 00 00 0F 03 FF FF 00 00 00 00 00 25 4A 05"));
    const auto r = m.record_bytes();
    EXPECT_EQ(u16_at(r, 4), 1);
    EXPECT_EQ(u16_at(r, 6), 9600);
    EXPECT_EQ(bits_of(f32_at(r, 8)), bits_of(1.0f));
    EXPECT_EQ(bits_of(f32_at(r, 12)), bits_of(2.0f));
    EXPECT_EQ(std::vector<uint8_t>(r.begin() + 16, r.begin() + 22), std::vector<uint8_t>(6, 1));
    EXPECT_EQ(i16_at(r, 22), -1);
    EXPECT_EQ(std::vector<uint8_t>(r.begin() + 24, r.begin() + 30),
              (std::vector<uint8_t>{1, 0, 1, 0, 0, 1}));
}

TEST_F(PollRound, SetupBlockRatiosAndBaudCodes) {
    RegisterImage image;
    image.set(1, 4);  // 38400
    image.set_pair(2, 0);
    image.set_pair(4, 100000);
    m.run_round(image);
    auto r = m.record_bytes();
    EXPECT_EQ(u16_at(r, 6), 38400);
    EXPECT_EQ(bits_of(f32_at(r, 8)), bits_of(10000.0f));  // a pair of 0 means 10000
    EXPECT_EQ(bits_of(f32_at(r, 12)), bits_of(10.0f));

    const std::pair<uint16_t, uint16_t> codes[] = {{5, 600},   {7, 600},  {3, 19200},
                                                   {9, 19200}, {6, 1200}, {0, 2400}};
    for (const auto& code : codes) {
        image.set(1, code.first);  // 7 and 9 are not codes: the last rate stays
        m.run_round(image);
        EXPECT_EQ(u16_at(m.record_bytes(), 6), code.second) << "code " << code.first;
    }
}

TEST_F(PollRound, UnknownBaudCodeOnANewRecordLeavesZero) {
    RegisterImage image;
    image.set(1, 7);
    m.run_round(image);
    EXPECT_EQ(u16_at(m.record_bytes(), 6), 0);
}

TEST_F(PollRound, StatusFlags) {
    RegisterImage image;
    image.set(258, 0x0F03);
    image.set(262, 0x0025);
    m.run_round(image);
    auto r = m.record_bytes();
    EXPECT_EQ(std::vector<uint8_t>(r.begin() + 16, r.begin() + 22), std::vector<uint8_t>(6, 1));
    EXPECT_EQ(std::vector<uint8_t>(r.begin() + 24, r.begin() + 30),
              (std::vector<uint8_t>{1, 0, 1, 0, 0, 1}));

    image.set(258, 0xF0FC);
    image.set(262, 0xFFC0);  // bits above 5 are no limit of the meter
    m.run_round(image);
    r = m.record_bytes();
    EXPECT_EQ(std::vector<uint8_t>(r.begin() + 16, r.begin() + 30), std::vector<uint8_t>(14, 0));
}

TEST_F(PollRound, LimitEntries) {
    RegisterImage image;
    for (int i = 0; i < 6; ++i) {
        image.set(272 + 5 * i, static_cast<uint16_t>(0x8000 + i));
        image.set(275 + 5 * i, static_cast<uint16_t>(i == 5 ? 0xFFFF : 7 + i));
        image.set(276 + 5 * i, static_cast<uint16_t>(0xFFF0 - i));
    }
    image.set(273, 0xFFFF);  // entry 0: -100
    image.set(274, 0xFF9C);
    image.set(278, 0x0001);  // entry 1: 65536
    image.set(279, 0x0000);
    image.set_pair(283, 0x7FFFFFFF);  // entry 2: largest pair, rounded to single first
    m.run_round(image);
    const auto r = m.record_bytes();
    EXPECT_EQ(bits_of(f32_at(r, 32)), bits_of(-1.0f));
    EXPECT_EQ(bits_of(f32_at(r, 42)), bits_of(655.36f));
    EXPECT_EQ(bits_of(f32_at(r, 52)), bits_of(21474836.0f));
    for (int i = 0; i < 6; ++i) {
        const std::size_t entry = 30 + 10 * i;
        EXPECT_EQ(i16_at(r, entry), static_cast<int16_t>(0x8000 + i));
        EXPECT_EQ(i16_at(r, entry + 6), i == 5 ? -1 : 7 + i);
        EXPECT_EQ(i16_at(r, entry + 8), static_cast<int16_t>(0xFFF0 - i));
    }
}

TEST_F(PollRound, MeasurementScaling) {
    RegisterImage image;
    image.set_pair(4, 20000);  // current ratio 2.0
    image.set(308, 0xBEEF);
    for (int k = 0; k < 8; ++k) image.set(4096 + k, static_cast<uint16_t>(23000 + k));
    image.set(4104, 1500);
    image.set(4108, 65535);
    for (int k = 0; k < 12; ++k) image.set(4109 + k, static_cast<uint16_t>(0xFFFF - k));
    image.set(4121, 0xFC18);  // -1000
    image.set(4122, 1000);
    image.set(4125, 5000);
    m.run_round(image);
    const auto r = m.record_bytes();
    EXPECT_EQ(u16_at(r, 90), 0xBEEF);
    EXPECT_EQ(bits_of(f32_at(r, 92)), bits_of(230.0f));
    EXPECT_EQ(bits_of(f32_at(r, 96)), bits_of(230.01f));
    EXPECT_EQ(bits_of(f32_at(r, 124)), bits_of(3.0f));
    EXPECT_EQ(bits_of(f32_at(r, 128)), bits_of(0.0f));
    EXPECT_EQ(bits_of(f32_at(r, 140)), bits_of(131.07f));
    for (int k = 0; k < 12; ++k) EXPECT_EQ(i16_at(r, 144 + 2 * k), -1 - k);
    EXPECT_EQ(bits_of(f32_at(r, 168)), bits_of(-1.0f));
    EXPECT_EQ(bits_of(f32_at(r, 172)), bits_of(1.0f));
    EXPECT_EQ(bits_of(f32_at(r, 184)), bits_of(50.0f));
}

TEST_F(PollRound, CurrentsUseTheRatioOfTheSameRoundAndTenThousandForZero) {
    RegisterImage image;
    image.set(4104, 1);
    m.run_round(image);  // ratio pair 0: 10000
    EXPECT_EQ(bits_of(f32_at(m.record_bytes(), 124)), bits_of(10.0f));
    image.set_pair(4, 20000);
    image.set(4104, 1500);
    m.run_round(image);
    EXPECT_EQ(bits_of(f32_at(m.record_bytes(), 124)), bits_of(3.0f));
}

TEST_F(PollRound, SignedPairsAreRoundedToSingleBeforeScaling) {
    RegisterImage image;
    image.set(8192, 0x0100);  // 16777217 rounds to 16777216 first
    image.set(8193, 0x0001);
    image.set(8194, 0x8000);  // most negative pair
    image.set(8195, 0x0000);
    image.set_pair(8196, 0xFFFFFFF6);  // -10
    image.set(8448, 0x0100);
    image.set(8449, 0x0001);
    image.set_pair(8462, 0x80000000);
    m.run_round(image);
    const auto r = m.record_bytes();
    EXPECT_EQ(bits_of(f32_at(r, 188)), bits_of(1677721.625f));
    EXPECT_EQ(bits_of(f32_at(r, 192)), bits_of(-214748368.0f));
    EXPECT_EQ(bits_of(f32_at(r, 196)), bits_of(-1.0f));
    EXPECT_EQ(bits_of(f32_at(r, 220)), bits_of(1677721.625f));
    EXPECT_EQ(bits_of(f32_at(r, 248)), bits_of(-214748368.0f));
}

TEST_F(PollRound, RepliesOfOtherTablesAreIgnored) {
    m.meter().RefreshStatus();
    m.reply(std::vector<uint16_t>(6, 0));
    m.reply(std::vector<uint16_t>(7, 0));
    ASSERT_EQ(m.meter().poll_step_, 103);
    const auto before = m.record_bytes();
    const std::size_t reads = m.backend.reads.size();
    std::vector<uint16_t> limits(30, 0);
    limits[3] = 11;
    EXPECT_EQ(m.reply(limits, SPModbus::TAB_COILS), 1);
    EXPECT_EQ(m.reply(limits, SPModbus::TAB_INPUT_REGISTERS), 1);
    EXPECT_EQ(m.meter().poll_step_, 103);
    EXPECT_EQ(m.backend.reads.size(), reads);
    EXPECT_EQ(m.record_bytes(), before);

    EXPECT_EQ(m.reply(limits), 1);  // the 272 block after all
    EXPECT_EQ(i16_at(m.record_bytes(), 36), 11);
    EXPECT_EQ(m.backend.reads.back(), (Read{308, 1}));
}

TEST_F(PollRound, RepliesOutsideARoundAreIgnored) {
    for (int step : {0, 100, 108, -1}) {
        m.meter().poll_step_ = step;
        EXPECT_EQ(m.reply(std::vector<uint16_t>(30, 0xFFFF)), 1);
        EXPECT_EQ(m.meter().poll_step_, step);
    }
    EXPECT_TRUE(m.backend.calls.empty());
    EXPECT_EQ(m.record_bytes(), std::vector<uint8_t>(259, 0));
}

TEST_F(PollRound, AFurtherReplyAtTheLastStepCompletesTheRoundAgain) {
    RegisterImage image;
    m.run_round(image);
    std::vector<uint16_t> pairs(16, 0);
    pairs[1] = 10;
    EXPECT_EQ(m.reply(pairs), 0);
    EXPECT_EQ(m.meter().poll_step_, 107);
    EXPECT_EQ(m.backend.publications.size(), 2u);
    EXPECT_EQ(m.backend.reads.size(), 7u);
    EXPECT_EQ(bits_of(f32_at(m.record_bytes(), 220)), bits_of(1.0f));
}

TEST_F(PollRound, RefreshStatusAbandonsARoundAndKeepsWhatItDecoded) {
    RegisterImage image;
    image.set(0, 0x1234);
    m.meter().RefreshStatus();
    m.reply(image.read(0, 6));
    m.reply(image.read(256, 7));
    EXPECT_EQ(m.meter().RefreshStatus(), 1);
    EXPECT_EQ(m.meter().poll_step_, 101);
    EXPECT_EQ(m.backend.reads.back(), (Read{0, 6}));
    EXPECT_EQ(u16_at(m.record_bytes(), 4), 0x1234);
    EXPECT_TRUE(m.backend.publications.empty());
}

TEST_F(PollRound, TheHostModbusLayerDeliversOnlyCompleteReplies) {
    m.meter().RefreshStatus();
    ASSERT_TRUE(has_pending_read(m.meter()));
    const std::vector<uint16_t> short_reply(5, 1);
    EXPECT_EQ(complete_read(m.meter(), short_reply.data(), short_reply.size()), -1);
    EXPECT_EQ(out.text(), "SPModbus get error\n");
    EXPECT_EQ(m.meter().poll_step_, 101);
    EXPECT_FALSE(has_pending_read(m.meter()));

    const std::vector<uint16_t> oversized(500, 1);  // more than any Modbus reply
    m.meter().RefreshStatus();
    EXPECT_EQ(complete_read(m.meter(), oversized.data(), oversized.size()), -1);
    EXPECT_EQ(m.record_bytes(), std::vector<uint8_t>(259, 0));

    m.meter().RefreshStatus();
    const std::vector<uint16_t> setup = {9, 2, 0, 10000, 0, 20000};
    EXPECT_EQ(complete_read(m.meter(), setup.data(), setup.size()), 1);
    EXPECT_EQ(u16_at(m.record_bytes(), 4), 9);
    EXPECT_EQ(pending_read(m.meter()).start, 256);

    // The wire form: register values high byte first.
    unsigned char status[14] = {0, 0, 0, 0, 0x0F, 0x03, 0xFF, 0xFE, 0, 0, 0, 0, 0, 0x01};
    EXPECT_EQ(m.meter().process(status, sizeof status), 1);
    EXPECT_EQ(i16_at(m.record_bytes(), 22), -2);
    EXPECT_EQ(m.record_bytes()[24], 1);
    unsigned char odd[3] = {1, 2, 3};
    EXPECT_EQ(m.meter().process(odd, sizeof odd), -1);
}

}  // namespace
