#include "apps/host/round_report.h"

#include <cstring>
#include <ctime>
#include <iomanip>
#include <sstream>
#include <stdexcept>

#include "apps/common/json_file.h"
#include "apps/common/program.h"

namespace kavren::host {

namespace {

const char* const kValueNames[] = {"UA",  "UB",         "UC",         "UAverage_1", "UAB",
                                   "UBC", "UCA",        "UAverage_2", "IA",         "IB",
                                   "IC",  "IAverage_1", "ZeroCurrent"};

// A float as JSON: widened exactly; nine significant digits in the text give it back bit for bit.
Json::Value number(float value) { return Json::Value(static_cast<double>(value)); }

template <typename T, std::size_t N>
Json::Value list(const T (&values)[N]) {
    Json::Value array(Json::arrayValue);
    for (std::size_t i = 0; i < N; ++i) array.append(Json::Value(values[i]));
    return array;
}

template <std::size_t N>
Json::Value float_list(const float (&values)[N]) {
    Json::Value array(Json::arrayValue);
    for (std::size_t i = 0; i < N; ++i) array.append(number(values[i]));
    return array;
}

bool decode_record(const std::vector<uint8_t>& bytes, KAVREN_M7_Data_t& record) {
    if (bytes.size() != sizeof record) return false;
    std::memcpy(&record, bytes.data(), sizeof record);
    return true;
}

// The value by name, or NaN when the driver refuses it.
float value_of(const SPModbus& device, const char* name) {
    try {
        return device.Get_Value(0, name);
    } catch (const std::out_of_range&) {
        return std::numeric_limits<float>::quiet_NaN();
    }
}

std::string fixed(float value, int decimals) {
    std::ostringstream s;
    s << std::fixed << std::setprecision(decimals) << value;
    return s.str();
}

}  // namespace

Json::Value record_fields(const KAVREN_M7_Data_t& r) {
    Json::Value f(Json::objectValue);
    f["data_id"] = Json::Value(r.data_id);
    f["reg0"] = Json::Value(r.reg0);
    f["meter_baud_rate"] = Json::Value(r.meter_baud_rate);
    f["ratio_1"] = number(r.ratio_1);
    f["current_ratio"] = number(r.current_ratio);
    f["reg258_bit8"] = Json::Value(r.reg258_bit8);
    f["reg258_bit9"] = Json::Value(r.reg258_bit9);
    f["reg258_bit10"] = Json::Value(r.reg258_bit10);
    f["reg258_bit11"] = Json::Value(r.reg258_bit11);
    f["reg258_bit0"] = Json::Value(r.reg258_bit0);
    f["reg258_bit1"] = Json::Value(r.reg258_bit1);
    f["reg259"] = Json::Value(r.reg259);
    uint8_t alarms[6];
    std::memcpy(alarms, r.limit_alarm, sizeof alarms);
    f["limit_alarm"] = list(alarms);
    Json::Value limits(Json::arrayValue);
    for (const LimitEntry& entry : r.limits) {
        Json::Value e(Json::objectValue);
        e["raw_first"] = Json::Value(entry.raw_first);
        e["value"] = number(entry.value);
        e["signal"] = Json::Value(entry.signal);
        e["raw_last"] = Json::Value(entry.raw_last);
        limits.append(e);
    }
    f["limits"] = limits;
    f["reg308"] = Json::Value(r.reg308);
    const float measured[13] = {r.UA,  r.UB,         r.UC,         r.UAverage_1, r.UAB,
                                r.UBC, r.UCA,        r.UAverage_2, r.IA,         r.IB,
                                r.IC,  r.IAverage_1, r.ZeroCurrent};
    for (int k = 0; k < 13; ++k) f[kValueNames[k]] = number(measured[k]);
    int16_t power_raw[12];
    std::memcpy(power_raw, r.power_raw, sizeof power_raw);
    f["power_raw"] = list(power_raw);
    float power_factor[4], values_8192[8], values_8448[8];
    std::memcpy(power_factor, r.power_factor, sizeof power_factor);
    std::memcpy(values_8192, r.values_8192, sizeof values_8192);
    std::memcpy(values_8448, r.values_8448, sizeof values_8448);
    f["power_factor"] = float_list(power_factor);
    f["frequency"] = number(r.frequency);
    f["values_8192"] = float_list(values_8192);
    f["values_8448"] = float_list(values_8448);
    f["update_time"] = record_time_text(reinterpret_cast<const uint8_t*>(&r), sizeof r);
    return f;
}

void RoundReport::restored(MeterSlot& meter) {
    const std::string stamp = record_time_text(meter.services->published_record());
    if (json_) {
        Json::Value line(Json::objectValue);
        line["time"] = app::local_time_text("%Y-%m-%d %H:%M:%S");
        line["meter"] = meter.config.name;
        line["restored"] = true;
        line["record_time"] = stamp;
        Json::Value values(Json::objectValue);
        for (const char* name : kValueNames) values[name] = number(value_of(*meter.device, name));
        line["values"] = values;
        out_ << app::compact_json(line) << std::endl;
        return;
    }
    out_ << app::local_time_text("%Y-%m-%d %H:%M:%S") << "  " << meter.config.name
         << " restored its last stored record (" << stamp << "): UA "
         << fixed(value_of(*meter.device, "UA"), 2) << " V, IA "
         << fixed(value_of(*meter.device, "IA"), 3) << " A" << std::endl;
}

void RoundReport::operator()(MeterSlot& meter, const RoundOutcome& outcome) {
    const std::string time = app::local_time_text("%Y-%m-%d %H:%M:%S");
    if (json_) {
        json_line(meter, outcome, time);
    } else {
        readable(meter, outcome, time);
    }
}

void RoundReport::readable(MeterSlot& meter, const RoundOutcome& outcome, const std::string& time) {
    out_ << time << "  " << meter.config.name << " (unit " << meter.config.unit << " on "
         << meter.link_name << ") round " << meter.round;
    if (!outcome.complete) {
        out_ << " failed: " << outcome_name(outcome.failure) << " reading " << outcome.failed_count
             << " registers at " << outcome.failed_start << " (" << outcome.detail << ")\n";
    } else {
        out_ << "\n";
        const SPModbus& d = *meter.device;
        out_ << "  U  A " << fixed(value_of(d, "UA"), 2) << "  B " << fixed(value_of(d, "UB"), 2)
             << "  C " << fixed(value_of(d, "UC"), 2) << "  avg "
             << fixed(value_of(d, "UAverage_1"), 2) << " V    AB " << fixed(value_of(d, "UAB"), 2)
             << "  BC " << fixed(value_of(d, "UBC"), 2) << "  CA " << fixed(value_of(d, "UCA"), 2)
             << " V\n";
        out_ << "  I  A " << fixed(value_of(d, "IA"), 3) << "  B " << fixed(value_of(d, "IB"), 3)
             << "  C " << fixed(value_of(d, "IC"), 3) << "  avg "
             << fixed(value_of(d, "IAverage_1"), 3) << "  zero "
             << fixed(value_of(d, "ZeroCurrent"), 3) << " A";
        KAVREN_M7_Data_t record{};
        if (decode_record(meter.services->published_record(), record)) {
            float pf[4];
            std::memcpy(pf, record.power_factor, sizeof pf);
            out_ << "    f " << fixed(record.frequency, 2) << " Hz    PF " << fixed(pf[0], 3) << " "
                 << fixed(pf[1], 3) << " " << fixed(pf[2], 3) << " total " << fixed(pf[3], 3);
        }
        out_ << "\n";
    }
    const auto& active = meter.services->alarms().active();
    if (active.empty()) {
        out_ << "  alarms: none\n";
    } else {
        for (const auto& alarm : active) {
            out_ << "  alarm " << alarm.first << ": " << alarm.second.description << " (since "
                 << alarm.second.since << ")\n";
        }
    }
    const LinkStats& s = meter.stats;
    out_ << "  link: " << s.requests << " requests, " << s.error_total() << " errors";
    for (int k = 1; k < kReadOutcomeCount; ++k) {
        if (s.errors[k] > 0)
            out_ << " " << outcome_name(static_cast<ReadOutcome>(k)) << "=" << s.errors[k];
    }
    out_ << ", " << s.rounds_complete << " rounds complete, " << s.rounds_failed << " failed";
    if (s.rounds_complete > 0)
        out_ << ", last round " << fixed(static_cast<float>(s.last_round_ms), 1) << " ms";
    out_ << std::endl;
}

void RoundReport::json_line(MeterSlot& meter, const RoundOutcome& outcome,
                            const std::string& time) {
    Json::Value line(Json::objectValue);
    line["time"] = time;
    line["meter"] = meter.config.name;
    line["unit"] = meter.config.unit;
    line["link"] = meter.link_name;
    line["round"] = Json::Value(static_cast<Json::Int64>(meter.round));
    line["complete"] = outcome.complete;
    if (!outcome.complete) {
        Json::Value failure(Json::objectValue);
        failure["kind"] = outcome_name(outcome.failure);
        failure["detail"] = outcome.detail;
        failure["start"] = outcome.failed_start;
        failure["count"] = outcome.failed_count;
        line["failure"] = failure;
    } else {
        KAVREN_M7_Data_t record{};
        if (decode_record(meter.services->published_record(), record))
            line["record"] = record_fields(record);
        Json::Value values(Json::objectValue);
        for (const char* name : kValueNames) {
            try {
                values[name] = number(meter.device->Get_Value(0, name));
            } catch (const std::out_of_range& e) {
                values[name] = e.what();
            }
        }
        line["values"] = values;
        Json::Value reports(Json::arrayValue);
        for (const LimitReport& r : meter.services->round_reports()) {
            Json::Value report(Json::objectValue);
            report["key"] = r.key;
            report["code"] = r.code;
            report["text"] = r.text;
            report["active"] = r.active;
            report["sequence"] = r.sequence;
            reports.append(report);
        }
        line["limit_reports"] = reports;
    }
    Json::Value active(Json::objectValue);
    for (const auto& alarm : meter.services->alarms().active()) {
        active[alarm.first]["description"] = alarm.second.description;
        active[alarm.first]["since"] = alarm.second.since;
    }
    line["active_alarms"] = active;
    Json::Value stats(Json::objectValue);
    stats["requests"] = Json::Value(static_cast<Json::UInt64>(meter.stats.requests));
    for (int k = 1; k < kReadOutcomeCount; ++k) {
        stats["errors"][outcome_name(static_cast<ReadOutcome>(k))] =
            Json::Value(static_cast<Json::UInt64>(meter.stats.errors[k]));
    }
    stats["rounds_complete"] = Json::Value(static_cast<Json::UInt64>(meter.stats.rounds_complete));
    stats["rounds_failed"] = Json::Value(static_cast<Json::UInt64>(meter.stats.rounds_failed));
    stats["last_round_ms"] = meter.stats.last_round_ms;
    stats["offline"] = meter.health.offline;
    line["link_stats"] = stats;
    out_ << app::compact_json(line) << std::endl;
}

}  // namespace kavren::host
