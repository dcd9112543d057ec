#include "apps/host/round/round_text.h"

#include <cstdio>
#include <cstring>
#include <iomanip>
#include <sstream>

#include "apps/host/support/utc_time.h"

namespace kavren::host {

namespace {

template <typename T, std::size_t N>
void write_list(JsonWriter& json, const char* name, const T (&packed)[N]) {
    T values[N];
    std::memcpy(values, packed, sizeof values);  // packed fields are copied out, never referenced
    json.key(name).begin_array();
    for (const T& v : values) json.value(v);
    json.end_array();
}

std::string fixed(float value, int decimals) {
    std::ostringstream s;
    s << std::fixed << std::setprecision(decimals) << value;
    return s.str();
}

const ServedValue& served(const RoundResult& r, const char* name) {
    for (std::size_t k = 0; k < kMeasurementCount; ++k) {
        if (std::strcmp(kMeasurements[k].name, name) == 0) return r.values[k];
    }
    static const ServedValue none{};
    return none;
}

std::string shown(const RoundResult& r, const char* name, int decimals) {
    const ServedValue& v = served(r, name);
    return v.served ? fixed(v.value, decimals) : std::string("nan");
}

void write_values(JsonWriter& json, const RoundResult& r) {
    json.key("values").begin_object();
    for (std::size_t k = 0; k < kMeasurementCount; ++k) {
        json.key(kMeasurements[k].name);
        if (r.values[k].served) {
            json.value(r.values[k].value);
        } else {
            json.value(r.values[k].refusal);
        }
    }
    json.end_object();
}

}  // namespace

std::string record_time_text(const uint8_t* record, std::size_t length) {
    if (record == nullptr || length != sizeof(KAVREN_M7_Data_t)) return "";
    TTime t;
    std::memcpy(&t, record + offsetof(KAVREN_M7_Data_t, update_time), sizeof t);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", unsigned{t.year},
                  unsigned{t.month}, unsigned{t.day}, unsigned{t.hour}, unsigned{t.minute},
                  unsigned{t.second});
    return text;
}

bool decode_record(const std::vector<uint8_t>& bytes, KAVREN_M7_Data_t& record) {
    if (bytes.size() != sizeof record) return false;
    std::memcpy(&record, bytes.data(), sizeof record);
    return true;
}

void write_record_fields(JsonWriter& json, const KAVREN_M7_Data_t& r) {
    const KAVREN_M7_Data_t f = r;  // an aligned copy: fields read by value below
    json.member("data_id", uint64_t{f.data_id});
    json.member("reg0", unsigned{f.reg0});
    json.member("meter_baud_rate", unsigned{f.meter_baud_rate});
    json.member("ratio_1", float{f.ratio_1});
    json.member("current_ratio", float{f.current_ratio});
    json.member("reg258_bit8", unsigned{f.reg258_bit8});
    json.member("reg258_bit9", unsigned{f.reg258_bit9});
    json.member("reg258_bit10", unsigned{f.reg258_bit10});
    json.member("reg258_bit11", unsigned{f.reg258_bit11});
    json.member("reg258_bit0", unsigned{f.reg258_bit0});
    json.member("reg258_bit1", unsigned{f.reg258_bit1});
    json.member("reg259", int{f.reg259});
    uint8_t alarms[6];
    std::memcpy(alarms, f.limit_alarm, sizeof alarms);
    json.key("limit_alarm").begin_array();
    for (uint8_t a : alarms) json.value(unsigned{a});
    json.end_array();
    LimitEntry limits[6];
    std::memcpy(limits, f.limits, sizeof limits);
    json.key("limits").begin_array();
    for (const LimitEntry& e : limits) {
        const LimitEntry entry = e;
        json.begin_object();
        json.member("raw_first", int{entry.raw_first});
        json.member("value", float{entry.value});
        json.member("signal", int{entry.signal});
        json.member("raw_last", int{entry.raw_last});
        json.end_object();
    }
    json.end_array();
    json.member("reg308", unsigned{f.reg308});
    const auto* bytes = reinterpret_cast<const uint8_t*>(&f);
    for (const Measurement& m : kMeasurements) json.member(m.name, float_at(bytes, m.offset));
    int16_t power_raw[12];
    std::memcpy(power_raw, f.power_raw, sizeof power_raw);
    json.key("power_raw").begin_array();
    for (int16_t p : power_raw) json.value(int{p});
    json.end_array();
    write_list(json, "power_factor", f.power_factor);
    json.member("frequency", float{f.frequency});
    write_list(json, "values_8192", f.values_8192);
    write_list(json, "values_8448", f.values_8448);
    json.member("update_time", record_time_text(bytes, sizeof f));
}

void write_active_alarms(JsonWriter& json, const std::map<std::string, AlarmBook::Alarm>& alarms) {
    json.begin_object();
    for (const auto& alarm : alarms) {
        json.key(alarm.first).begin_object();
        json.member("description", alarm.second.description);
        json.member("since", alarm.second.since_ms != 0 ? iso_local_second(alarm.second.since_ms)
                                                        : alarm.second.since);
        json.end_object();
    }
    json.end_object();
}

namespace {

void write_failure(JsonWriter& json, const RoundOutcome& outcome) {
    json.key("failure").begin_object();
    json.member("kind", outcome_name(outcome.failure));
    json.member("detail", outcome.detail);
    json.member("start", outcome.failed_start);
    json.member("count", outcome.failed_count);
    json.end_object();
}

void write_complete(JsonWriter& json, const StoredRound& round) {
    const RoundResult& r = *round.result;
    json.member("history_id", round.history_id);
    KAVREN_M7_Data_t record;
    if (decode_record(r.record, record)) {
        json.key("record").begin_object();
        write_record_fields(json, record);
        json.end_object();
    }
    write_values(json, r);
    json.key("limit_reports").begin_array();
    for (const LimitReport& report : r.limit_reports) {
        json.begin_object();
        json.member("key", report.key);
        json.member("code", report.code);
        json.member("text", report.text);
        json.member("active", report.active);
        json.member("sequence", unsigned{report.sequence});
        json.end_object();
    }
    json.end_array();
}

void write_link_stats(JsonWriter& json, const RoundResult& r) {
    json.key("link_stats").begin_object();
    json.member("requests", r.stats.requests);
    json.key("errors").begin_object();
    for (int k = 1; k < kReadOutcomeCount; ++k)
        json.member(outcome_name(static_cast<ReadOutcome>(k)), r.stats.errors[k]);
    json.end_object();
    json.member("rounds_complete", r.stats.rounds_complete);
    json.member("rounds_failed", r.stats.rounds_failed);
    json.member("last_round_ms", r.stats.last_round_ms);
    json.member("last_exception", r.stats.last_exception);
    json.member("noise_bytes", r.stats.noise_bytes);
    json.member("offline", r.offline);
    json.end_object();
}

}  // namespace

std::string round_json_line(const StoredRound& round) {
    const RoundResult& r = *round.result;
    std::string line;
    line.reserve(2048);
    JsonWriter json(line);
    json.begin_object();
    // Times with the UTC offset of their instant: a local time alone repeats an hour in autumn.
    json.member("time", iso_local_second(r.unix_ms));
    json.member("meter", r.meter);
    if (r.origin == RoundResult::Origin::restore) {
        json.member("restored", true);
        json.member("history_id", round.history_id);
        json.member("record_time", r.stored_record_ms != 0 ? iso_local_second(r.stored_record_ms)
                                                           : r.stored_record_time);
        write_values(json, r);
        json.end_object();
        return line;
    }
    json.member("unit", r.unit);
    json.member("link", r.link);
    json.member("round", r.round);
    json.member("complete", r.outcome.complete);
    if (r.outcome.complete) {
        write_complete(json, round);
    } else {
        write_failure(json, r.outcome);
    }
    json.key("active_alarms");
    write_active_alarms(json, round.active_alarms);
    write_link_stats(json, r);
    json.end_object();
    return line;
}

std::string round_readable_text(const StoredRound& round) {
    const RoundResult& r = *round.result;
    std::ostringstream out;
    if (r.origin == RoundResult::Origin::restore) {
        out << r.time << "  " << r.meter << " restored its last stored record ("
            << r.stored_record_time << "): UA " << shown(r, "UA", 2) << " V, IA "
            << shown(r, "IA", 3) << " A";
        return out.str();
    }
    out << r.time << "  " << r.meter << " (unit " << r.unit << " on " << r.link << ") round "
        << r.round;
    if (!r.outcome.complete) {
        out << " failed: " << outcome_name(r.outcome.failure) << " reading "
            << r.outcome.failed_count << " registers at " << r.outcome.failed_start << " ("
            << r.outcome.detail << ")\n";
    } else {
        out << "\n";
        out << "  U  A " << shown(r, "UA", 2) << "  B " << shown(r, "UB", 2) << "  C "
            << shown(r, "UC", 2) << "  avg " << shown(r, "UAverage_1", 2) << " V    AB "
            << shown(r, "UAB", 2) << "  BC " << shown(r, "UBC", 2) << "  CA " << shown(r, "UCA", 2)
            << " V\n";
        out << "  I  A " << shown(r, "IA", 3) << "  B " << shown(r, "IB", 3) << "  C "
            << shown(r, "IC", 3) << "  avg " << shown(r, "IAverage_1", 3) << "  zero "
            << shown(r, "ZeroCurrent", 3) << " A";
        KAVREN_M7_Data_t record;
        if (decode_record(r.record, record)) {
            float pf[4];
            std::memcpy(pf, record.power_factor, sizeof pf);
            const float frequency = record.frequency;
            out << "    f " << fixed(frequency, 2) << " Hz    PF " << fixed(pf[0], 3) << " "
                << fixed(pf[1], 3) << " " << fixed(pf[2], 3) << " total " << fixed(pf[3], 3);
        }
        out << "\n";
    }
    if (round.active_alarms.empty()) {
        out << "  alarms: none\n";
    } else {
        for (const auto& alarm : round.active_alarms) {
            out << "  alarm " << alarm.first << ": " << alarm.second.description << " (since "
                << alarm.second.since << ")\n";
        }
    }
    const LinkStats& s = r.stats;
    out << "  link: " << s.requests << " requests, " << s.error_total() << " errors";
    for (int k = 1; k < kReadOutcomeCount; ++k) {
        if (s.errors[k] > 0)
            out << " " << outcome_name(static_cast<ReadOutcome>(k)) << "=" << s.errors[k];
    }
    if (s.last_exception >= 0) out << " (last exception code " << s.last_exception << ")";
    if (s.noise_bytes > 0) out << ", " << s.noise_bytes << " noise bytes drained";
    out << ", " << s.rounds_complete << " rounds complete, " << s.rounds_failed << " failed";
    if (s.rounds_complete > 0)
        out << ", last round " << fixed(static_cast<float>(s.last_round_ms), 1) << " ms";
    return out.str();
}

}  // namespace kavren::host
