// The meter's six limits, reported to the host's alarm handling after every round.
#include <boost/lexical_cast.hpp>

#include "plugin/kavren_m7.h"

// Measurand names by the meter's measurand code. A phase letter (or pair) is followed by one
// ASCII space; the meter leaves six codes unnamed, and those are answered with entry 32.
const char* const KAVREN_M7::signalName[33] = {
    "A 相功率因数",  // 0
    "B 相功率因数",  // 1
    "C 相功率因数",  // 2
    "总相功率因数",  // 3
    "",              // 4
    "",              // 5
    "频率",          // 6
    "A 相电压",      // 7
    "B 相电压",      // 8
    "C 相电压",      // 9
    "",              // 10
    "AB 线电压",     // 11
    "BC 线电压",     // 12
    "CA 线电压",     // 13
    "",              // 14
    "A 相电流",      // 15
    "B 相电流",      // 16
    "C 相电流",      // 17
    "",              // 18
    "",              // 19
    "A 相有功功率",  // 20
    "B 相有功功率",  // 21
    "C 相有功功率",  // 22
    "总相有功功率",  // 23
    "A 相无功功率",  // 24
    "B 相无功功率",  // 25
    "C 相无功功率",  // 26
    "总相无功功率",  // 27
    "A 相视在功率",  // 28
    "B 相视在功率",  // 29
    "C 相视在功率",  // 30
    "总相视在功率",  // 31
    "无效告警",      // 32: fallback
};

namespace {
constexpr int kLastNamedCode = 31;
constexpr int kFallbackName = 32;
constexpr int kLimitReportKind = 2;
const char* const kLimitAlarmCode = "16012";
}  // namespace

std::string KAVREN_M7::getSignalName(int code) {
    if (code < 0 || code > kLastNamedCode || signalName[code][0] == '\0') {
        return signalName[kFallbackName];
    }
    return signalName[code];
}

void KAVREN_M7::RunCheckThreshold() {
    for (int i = 0; i < kLimitCount; ++i) {
        const LimitEntry limit = data_.limits[i];
        const std::string key = boost::lexical_cast<std::string>(i) + " KAVREN_M7";
        const char* comparison = limit.signal == 0 ? "大于" : "小于";
        // The record holds the meter's value / 100; the description shows it / 10000, as
        // lexical_cast prints a float (nine significant digits, inf, nan).
        const float shown = limit.value / 100.0f;
        const std::string description =
            getSignalName(limit.signal) + comparison + boost::lexical_cast<std::string>(shown);
        const unsigned short sequence = check_seq_++;
        CheckThresholdBool(kLimitReportKind, key, kLimitAlarmCode, description, description,
                           data_.limit_alarm[i] != 0, sequence);
    }
}
