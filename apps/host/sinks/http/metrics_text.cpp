#include "apps/host/sinks/http/metrics_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>

#include "apps/host/round/read_outcome.h"
#include "meter/measurements.h"

namespace kavren::host {

namespace {

// Where the voltages and currents are in kMeasurements: the phase voltages and their average,
// the line voltages and theirs, the phase currents and theirs, then the zero-sequence current.
// Averages go under metric names of their own, so that a sum over a per-phase metric's labels
// adds phases only.
static_assert(kMeasurementCount == 13, "a place for each measurement");
constexpr std::size_t kPhaseVoltages = 0, kLineVoltages = 4, kFirstCurrent = 8, kZeroCurrent = 12;
const char* const kPhases[3] = {"A", "B", "C"};
const char* const kLines[3] = {"AB", "BC", "CA"};

class Out {
  public:
    explicit Out(std::string& s) : s_(s) {}
    void family(const char* name, const char* type, const char* help) {
        append_metric_family(s_, name, type, help);
    }
    void text(const std::string& lines) { s_ += lines; }
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

// A family of one sample per fresh meter: the record's float at `offset`.
void write_single(Out& out, const char* metric, const char* help,
                  const std::vector<MeterView>& meters, const FreshRecords& fresh,
                  std::size_t offset) {
    out.family(metric, "gauge", help);
    for (std::size_t i = 0; i < meters.size(); ++i) {
        if (fresh[i]) out.sample(metric, meters[i].name).value(field_at(*fresh[i], offset));
    }
}

// A family of three samples per fresh meter, labelled `label` with `names[k]`: the record's
// floats at `offsets[k]`.
void write_three(Out& out, const char* metric, const char* help, const char* label,
                 const char* const (&names)[3], const std::vector<MeterView>& meters,
                 const FreshRecords& fresh, const std::array<std::size_t, 3>& offsets) {
    out.family(metric, "gauge", help);
    for (std::size_t i = 0; i < meters.size(); ++i) {
        if (!fresh[i]) continue;
        for (std::size_t k = 0; k < 3; ++k)
            out.sample(metric, meters[i].name)
                .label(label, names[k])
                .value(field_at(*fresh[i], offsets[k]));
    }
}

std::size_t offset_of(std::size_t measurement) { return kMeasurements[measurement].offset; }

// Voltages and currents: from the fresh records only. Phase and line voltages are metrics of
// their own, so that a sum over one adds what it should.
void write_voltages_and_currents(Out& out, const std::vector<MeterView>& meters,
                                 const FreshRecords& fresh) {
    const auto three = [](std::size_t first) {
        return std::array<std::size_t, 3>{offset_of(first), offset_of(first + 1),
                                          offset_of(first + 2)};
    };
    write_three(out, "kavren_voltage_volts", "Phase voltage (to neutral) of the last fresh round.",
                "phase", kPhases, meters, fresh, three(kPhaseVoltages));
    write_single(out, "kavren_voltage_average_volts",
                 "The meter's average of its three phase voltages, of the last fresh round.",
                 meters, fresh, offset_of(kPhaseVoltages + 3));
    write_three(out, "kavren_line_voltage_volts",
                "Line voltage (between two phases) of the last fresh round.", "line", kLines,
                meters, fresh, three(kLineVoltages));
    write_single(out, "kavren_line_voltage_average_volts",
                 "The meter's average of its three line voltages, of the last fresh round.", meters,
                 fresh, offset_of(kLineVoltages + 3));
    write_three(out, "kavren_current_amperes", "Phase current of the last fresh round.", "phase",
                kPhases, meters, fresh, three(kFirstCurrent));
    write_single(out, "kavren_current_average_amperes",
                 "The meter's average of its three phase currents, of the last fresh round.",
                 meters, fresh, offset_of(kFirstCurrent + 3));
    write_single(out, "kavren_zero_sequence_current_amperes",
                 "Zero-sequence current of the last fresh round.", meters, fresh,
                 offset_of(kZeroCurrent));
}

// Frequency and power factors: from the fresh records only.
void write_frequency_and_power_factors(Out& out, const std::vector<MeterView>& meters,
                                       const FreshRecords& fresh) {
    write_single(out, "kavren_frequency_hertz", "Line frequency of the last fresh round.", meters,
                 fresh, offsetof(KAVREN_M7_Data_t, frequency));
    const std::size_t power_factor = offsetof(KAVREN_M7_Data_t, power_factor);
    const std::array<std::size_t, 3> factors = {power_factor, power_factor + sizeof(float),
                                                power_factor + 2 * sizeof(float)};
    write_three(out, "kavren_power_factor_ratio",
                "Power factor of phase A, B or C, of the last fresh round.", "phase", kPhases,
                meters, fresh, factors);
    write_single(out, "kavren_power_factor_total_ratio",
                 "The meter's total power factor, of the last fresh round.", meters, fresh,
                 power_factor + 3 * sizeof(float));
}

// A limit description without its value: "A 相电压小于2.06999993" is "A 相电压小于", so that a
// changed limit keeps its series (the value is kavren_limit_threshold's).
std::string without_value(const std::string& description) {
    for (const char* word : {"小于", "大于"}) {
        const auto at = description.rfind(word);
        if (at == std::string::npos) continue;
        const std::string number = description.substr(at + std::strlen(word));
        char* end = nullptr;
        std::strtod(number.c_str(), &end);
        if (!number.empty() && end == number.c_str() + number.size())
            return description.substr(0, at + std::strlen(word));
    }
    return description;
}

// The limit's slot in the record from its key ("2 KAVREN_M7"), or -1.
int limit_slot(const std::string& key) {
    if (key.size() < 2 || key[0] < '0' || key[0] > '5' || key[1] != ' ') return -1;
    return key[0] - '0';
}

// The alarm book, then the limits' values from the last complete round's record: a family per
// quantity, in its unit, so that no metric mixes volts with hertz. A limit whose measurand code
// names no quantity has no value sample (its alarm is still reported).
void write_alarms(Out& out, const std::vector<MeterView>& meters) {
    out.family("kavren_limit_alarm_active", "gauge",
               "1 while the limit alarm is raised, 0 while it is clear (the alarm book); "
               "description: the measurand and the comparison.");
    constexpr std::size_t kQuantities = std::size(kLimitQuantities);
    std::string thresholds[kQuantities];  // written after the alarms, each family in one piece
    for (const MeterView& m : meters) {
        std::map<std::string, std::string> alarms;  // key: description
        if (m.last_complete)
            for (const LimitReport& r : m.last_complete->result->limit_reports)
                alarms[r.key] = r.text;
        for (const auto& a : m.active_alarms) alarms[a.first] = a.second.description;
        for (const auto& a : alarms) {
            out.sample("kavren_limit_alarm_active", m.name)
                .label("alarm", a.first)
                .label("description", without_value(a.second))
                .value(uint64_t{m.active_alarms.count(a.first) > 0});
            const int slot = limit_slot(a.first);
            if (slot < 0 || !m.last_complete ||
                m.last_complete->result->record.size() != sizeof(KAVREN_M7_Data_t))
                continue;
            const LimitEntry entry = limit_at(m.last_complete->result->record.data(), slot);
            const LimitQuantity* quantity = limit_quantity(entry.signal);
            if (quantity == nullptr) continue;
            const std::size_t q = static_cast<std::size_t>(quantity - kLimitQuantities);
            // In single precision, as the record holds it: 1.1 kW is 1100 W, not 1100.0000238.
            const float value = entry.value * quantity->to_base;
            Out(thresholds[q])
                .sample(quantity->metric, m.name)
                .label("alarm", a.first)
                .value(value);
        }
    }
    for (std::size_t q = 0; q < kQuantities; ++q) {
        if (thresholds[q].empty()) continue;
        const std::string help = std::string("The value of a limit on ") +
                                 kLimitQuantities[q].what +
                                 " as the meter holds it, from the last complete round.";
        out.family(kLimitQuantities[q].metric, "gauge", help.c_str());
        out.text(thresholds[q]);
    }
}

// Whether each meter answers, and when it last did.
void write_states(Out& out, const std::vector<MeterView>& meters) {
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
            // "0.0005", not "5e-04": the bounds as people write them.
            const auto r = std::to_chars(le, le + sizeof le, kRoundDurationBuckets[b],
                                         std::chars_format::fixed);
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

void append_metric_family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

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

    write_voltages_and_currents(out, meters, fresh);
    write_frequency_and_power_factors(out, meters, fresh);
    write_alarms(out, meters);
    write_states(out, meters);
    write_counters(out, meters);
    write_durations(out, meters);
    return s;
}

}  // namespace kavren::host
