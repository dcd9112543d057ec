#include "apps/host/sinks/http/metrics_text.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "apps/host/round/read_outcome.h"
#include "meter/measurements.h"

namespace kavren::host {

namespace {

// Labels of the thirteen measurements, by their place in kMeasurements: voltages first (phase
// then line, each with its average), then the currents and the zero-sequence current.
static_assert(kMeasurementCount == 13, "a label for each measurement");
struct MeasurementLabels {
    const char* kind;   // voltages: "phase" or "line"
    const char* which;  // the phase, the pair of phases, or "average"
};
constexpr MeasurementLabels kLabels[kMeasurementCount] = {
    {"phase", "A"}, {"phase", "B"}, {"phase", "C"}, {"phase", "average"},
    {"line", "AB"}, {"line", "BC"}, {"line", "CA"}, {"line", "average"},
    {"", "A"},      {"", "B"},      {"", "C"},      {"", "average"},
    {"", ""},
};
constexpr std::size_t kFirstCurrent = 8;
constexpr std::size_t kZeroCurrent = 12;
const char* const kPowerFactorPhases[4] = {"A", "B", "C", "total"};

class Out {
  public:
    explicit Out(std::string& s) : s_(s) {}
    void family(const char* name, const char* type, const char* help) {
        s_ += "# HELP ";
        s_ += name;
        s_ += ' ';
        s_ += help;
        s_ += "\n# TYPE ";
        s_ += name;
        s_ += ' ';
        s_ += type;
        s_ += '\n';
    }
    // name{meter="..." then more labels with label(), then value().
    Out& sample(const char* name, const std::string& meter) {
        s_ += name;
        s_ += "{meter=\"";
        escaped(meter);
        s_ += '"';
        return *this;
    }
    Out& label(const char* name, std::string_view value) {
        s_ += ',';
        s_ += name;
        s_ += "=\"";
        escaped(value);
        s_ += '"';
        return *this;
    }
    void value(double v) {
        s_ += "} ";
        number(v);
        s_ += '\n';
    }
    void value(float v) {
        s_ += "} ";
        if (std::isfinite(v)) {
            char text[32];
            const auto r = std::to_chars(text, text + sizeof text, v);
            s_.append(text, r.ptr);
        } else {
            number(v);
        }
        s_ += '\n';
    }
    void value(uint64_t v) {
        s_ += "} ";
        char text[24];
        const auto r = std::to_chars(text, text + sizeof text, v);
        s_.append(text, r.ptr);
        s_ += '\n';
    }

  private:
    void number(double v) {
        if (std::isnan(v)) {
            s_ += "NaN";
        } else if (std::isinf(v)) {
            s_ += v > 0 ? "+Inf" : "-Inf";
        } else {
            char text[32];
            const auto r = std::to_chars(text, text + sizeof text, v);
            s_.append(text, r.ptr);
        }
    }
    void escaped(std::string_view v) { append_label_value(s_, v); }
    std::string& s_;
};

float field_at(const std::vector<uint8_t>& record, std::size_t offset) {
    return float_at(record.data(), offset);
}

const LinkStats* stats_of(const MeterView& m) {
    return m.latest ? &m.latest->result->stats : nullptr;
}

using FreshRecords = std::vector<const std::vector<uint8_t>*>;

// Voltages, currents, frequency and power factors: from the fresh records only.
void write_measurements(Out& out, const std::vector<MeterView>& meters, const FreshRecords& fresh) {
    out.family("kavren_voltage_volts", "gauge",
               "Voltage of the last fresh round: kind phase (to neutral) or line (between "
               "phases), which phase or pair, or their average.");
    for (std::size_t i = 0; i < meters.size(); ++i) {
        if (!fresh[i]) continue;
        for (std::size_t k = 0; k < kFirstCurrent; ++k)
            out.sample("kavren_voltage_volts", meters[i].name)
                .label("kind", kLabels[k].kind)
                .label("phase", kLabels[k].which)
                .value(field_at(*fresh[i], kMeasurements[k].offset));
    }
    out.family("kavren_current_amperes", "gauge",
               "Phase current of the last fresh round, or the average of the phases.");
    for (std::size_t i = 0; i < meters.size(); ++i) {
        if (!fresh[i]) continue;
        for (std::size_t k = kFirstCurrent; k < kZeroCurrent; ++k)
            out.sample("kavren_current_amperes", meters[i].name)
                .label("phase", kLabels[k].which)
                .value(field_at(*fresh[i], kMeasurements[k].offset));
    }
    out.family("kavren_zero_sequence_current_amperes", "gauge",
               "Zero-sequence current of the last fresh round.");
    for (std::size_t i = 0; i < meters.size(); ++i) {
        if (fresh[i])
            out.sample("kavren_zero_sequence_current_amperes", meters[i].name)
                .value(field_at(*fresh[i], kMeasurements[kZeroCurrent].offset));
    }
    out.family("kavren_frequency_hertz", "gauge", "Line frequency of the last fresh round.");
    for (std::size_t i = 0; i < meters.size(); ++i) {
        if (fresh[i])
            out.sample("kavren_frequency_hertz", meters[i].name)
                .value(field_at(*fresh[i], offsetof(KAVREN_M7_Data_t, frequency)));
    }
    out.family("kavren_power_factor_ratio", "gauge",
               "Power factor of the last fresh round, per phase and in total.");
    for (std::size_t i = 0; i < meters.size(); ++i) {
        if (!fresh[i]) continue;
        for (std::size_t p = 0; p < 4; ++p)
            out.sample("kavren_power_factor_ratio", meters[i].name)
                .label("phase", kPowerFactorPhases[p])
                .value(field_at(*fresh[i],
                                offsetof(KAVREN_M7_Data_t, power_factor) + p * sizeof(float)));
    }
}

// The alarm book, whether each meter answers, and when it last did.
void write_states(Out& out, const std::vector<MeterView>& meters) {
    out.family("kavren_limit_alarm_active", "gauge",
               "1 while the limit alarm is raised, 0 while it is clear (the alarm book).");
    for (const MeterView& m : meters) {
        std::map<std::string, std::string> alarms;  // key: description
        if (m.last_complete)
            for (const LimitReport& r : m.last_complete->result->limit_reports)
                alarms[r.key] = r.text;
        for (const auto& a : m.active_alarms) alarms[a.first] = a.second.description;
        for (const auto& a : alarms)
            out.sample("kavren_limit_alarm_active", m.name)
                .label("alarm", a.first)
                .label("description", a.second)
                .value(uint64_t{m.active_alarms.count(a.first) > 0});
    }
    out.family("kavren_meter_online", "gauge",
               "1 while the meter answers its rounds; 0 once it is offline or before its first "
               "round.");
    for (const MeterView& m : meters)
        out.sample("kavren_meter_online", m.name).value(uint64_t{m.online()});
    out.family("kavren_last_complete_round_timestamp_seconds", "gauge",
               "Unix time at which the meter's last complete round ended.");
    for (const MeterView& m : meters) {
        if (m.last_complete)
            out.sample("kavren_last_complete_round_timestamp_seconds", m.name)
                .value(static_cast<double>(m.last_complete->result->unix_ms) / 1000.0);
    }
}

void write_counters(Out& out, const std::vector<MeterView>& meters) {
    out.family("kavren_requests_total", "counter", "Modbus requests sent to the meter.");
    for (const MeterView& m : meters) {
        const LinkStats* st = stats_of(m);
        out.sample("kavren_requests_total", m.name).value(st ? st->requests : uint64_t{0});
    }
    out.family("kavren_errors_total", "counter", "Failed Modbus requests, by kind of failure.");
    for (const MeterView& m : meters) {
        const LinkStats* st = stats_of(m);
        for (int k = 1; k < kReadOutcomeCount; ++k)
            out.sample("kavren_errors_total", m.name)
                .label("kind", outcome_name(static_cast<ReadOutcome>(k)))
                .value(st ? st->errors[k] : uint64_t{0});
    }
    out.family("kavren_rounds_total", "counter",
               "Polling rounds, by outcome: complete, or the kind of failure that ended them.");
    for (const MeterView& m : meters) {
        for (int k = 0; k < kReadOutcomeCount; ++k)
            out.sample("kavren_rounds_total", m.name)
                .label("outcome", k == 0 ? "complete" : outcome_name(static_cast<ReadOutcome>(k)))
                .value(m.rounds[k]);
    }
}

void write_durations(Out& out, const std::vector<MeterView>& meters) {
    out.family("kavren_round_duration_seconds", "histogram",
               "Time of a complete round, from its first request to its last reply.");
    for (const MeterView& m : meters) {
        for (std::size_t b = 0; b < kRoundDurationBuckets.size(); ++b) {
            char le[24];
            const auto r = std::to_chars(le, le + sizeof le, kRoundDurationBuckets[b]);
            out.sample("kavren_round_duration_seconds_bucket", m.name)
                .label("le", std::string_view(le, static_cast<std::size_t>(r.ptr - le)))
                .value(m.duration_buckets[b]);
        }
        out.sample("kavren_round_duration_seconds_bucket", m.name)
            .label("le", "+Inf")
            .value(m.duration_count);
        out.sample("kavren_round_duration_seconds_sum", m.name).value(m.duration_sum_s);
        out.sample("kavren_round_duration_seconds_count", m.name).value(m.duration_count);
    }
}

}  // namespace

void append_label_value(std::string& out, std::string_view value) {
    for (char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
}

std::string metrics_text(const std::vector<MeterView>& meters, int64_t now_ms,
                         int64_t fresh_for_ms) {
    std::string s;
    s.reserve(256 + meters.size() * 5000);
    Out out(s);
    // The records of the meters whose last complete round is fresh; others report none.
    FreshRecords fresh(meters.size(), nullptr);
    for (std::size_t i = 0; i < meters.size(); ++i) {
        if (meters[i].fresh(now_ms, fresh_for_ms) &&
            meters[i].last_complete->result->record.size() == sizeof(KAVREN_M7_Data_t))
            fresh[i] = &meters[i].last_complete->result->record;
    }

    write_measurements(out, meters, fresh);
    write_states(out, meters);
    write_counters(out, meters);
    write_durations(out, meters);
    return s;
}

}  // namespace kavren::host
