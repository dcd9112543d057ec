#include "apps/host/sinks/http/http_api.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <set>
#include <sstream>

#include "apps/host/history/history_query.h"
#include "apps/host/history/series.h"
#include "apps/host/round/read_outcome.h"
#include "apps/host/round/round_text.h"
#include "apps/host/sinks/http/gateway_metrics.h"
#include "apps/host/sinks/http/http_reply.h"
#include "apps/host/sinks/http/metrics_text.h"
#include "apps/host/sinks/http/page_files.h"
#include "apps/host/sinks/http/reload_metrics.h"
#include "apps/host/support/json_writer.h"
#include "meter/measurements.h"

namespace kavren::host {

namespace {

// The driver refuses values older than a minute; a slow poll keeps its rounds fresh for a
// little over its own interval.
constexpr int64_t kFreshAtLeastMs = 60000;
// Alarm events one request may return.
constexpr std::size_t kMaxAlarmEvents = 10000;

HttpResponse content(std::string type, std::string body) {
    HttpResponse r;
    r.content_type = std::move(type);
    r.body = std::move(body);
    return r;
}

// A time bound of a request, when given. Throws BadTimeBound.
std::optional<int64_t> time_bound(const HttpRequest& request, const char* name, bool upper) {
    const auto found = request.query.find(name);
    if (found == request.query.end() || found->second.empty()) return std::nullopt;
    return parse_time_bound(found->second, upper);
}

// The time range of a request, as instants; the whole history when not given. Throws
// BadTimeBound.
std::pair<int64_t, int64_t> time_range(const HttpRequest& request) {
    const int64_t from = time_bound(request, "from", false).value_or(INT64_MIN);
    const int64_t to = time_bound(request, "to", true).value_or(INT64_MAX);
    require_ordered_range(from, to);
    return {from, to};
}

// A bound of a reply: the instant, or null for an open end.
void write_bound(JsonWriter& json, const char* name, int64_t ms) {
    json.key(name);
    if (ms == INT64_MIN || ms == INT64_MAX) {
        json.null();
    } else {
        json.value(iso_local_time(ms));
    }
}

// A whole number of at most `digits` digits, with an optional minus sign.
bool whole_number(const std::string& text, std::size_t digits, bool negative_too) {
    const std::size_t sign = negative_too && !text.empty() && text[0] == '-' ? 1 : 0;
    return text.size() > sign && text.size() - sign <= digits &&
           std::all_of(text.begin() + static_cast<std::ptrdiff_t>(sign), text.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

// Refuses a parameter not in `known` ("from, to, ..."), naming the ones there are. Throws
// BadTimeBound.
void only_parameters(const HttpRequest& request, const std::string& known) {
    for (const auto& parameter : request.query) {
        const std::string listed = ", " + known + ",";
        if (parameter.first.find(',') != std::string::npos ||
            listed.find(", " + parameter.first + ",") == std::string::npos)
            throw BadTimeBound("unknown parameter \"" + parameter.first.substr(0, 40) +
                               "\" (known: " + known + ")");
    }
}

// The record fields a history request names; all of them when it names none. Throws
// BadTimeBound for an empty list or a name the record does not have.
std::set<std::string, std::less<>> record_fields(const HttpRequest& request) {
    std::set<std::string, std::less<>> fields;
    const auto f = request.query.find("fields");
    if (f == request.query.end()) return fields;
    static const std::string every = [] {
        std::string text;
        JsonWriter json(text);
        json.begin_object();
        write_record_fields(json, KAVREN_M7_Data_t{});
        json.end_object();
        return text;
    }();
    std::istringstream list(f->second);
    for (std::string field; std::getline(list, field, ',');) {
        if (field.empty()) continue;
        if (pick_members(every, {field}) == "{}")
            throw BadTimeBound("the record has no field \"" + field.substr(0, 40) + "\"");
        fields.insert(field);
    }
    if (fields.empty()) throw BadTimeBound("fields must name record fields, comma-separated");
    return fields;
}

// What a series request asks for. Throws BadTimeBound for anything it cannot use, a range that
// ends before it starts too (without `to`, it ends now).
SeriesRequest series_request(const std::string& name, const HttpRequest& request, int64_t now_ms) {
    only_parameters(request, "from, to, points, since_ms");
    SeriesRequest r;
    r.meter = name;
    r.from_ms = time_bound(request, "from", false);
    r.to_ms = time_bound(request, "to", true);
    if (r.from_ms) require_ordered_range(*r.from_ms, r.to_ms.value_or(now_ms));
    const auto points = request.query.find("points");
    if (points != request.query.end()) {
        if (!whole_number(points->second, 5, false) || std::stoul(points->second) < 1 ||
            std::stoul(points->second) > kMostSeriesPoints)
            throw BadTimeBound("points must be a whole number from 1 to " +
                               std::to_string(kMostSeriesPoints));
        r.points = std::stoul(points->second);
    }
    const auto since = request.query.find("since_ms");
    if (since != request.query.end()) {
        // Unix milliseconds up to the end of the year 9999.
        if (!whole_number(since->second, 15, true) ||
            std::llabs(std::stoll(since->second)) > 253402300799999)
            throw BadTimeBound("since_ms must be Unix milliseconds (a whole number)");
        r.since_ms = std::stoll(since->second);
    }
    return r;
}

// The row limit of a request: 1 to max, default max. Throws BadTimeBound for a bad one.
std::size_t row_limit(const HttpRequest& request, std::size_t max) {
    const auto l = request.query.find("limit");
    if (l == request.query.end()) return max;
    const std::string& text = l->second;
    if (!whole_number(text, 9, false))
        throw BadTimeBound("limit must be a whole number from 1 to " + std::to_string(max));
    const std::size_t n = std::stoul(text);
    if (n < 1 || n > max)
        throw BadTimeBound("limit must be a whole number from 1 to " + std::to_string(max));
    return n;
}

}  // namespace

std::string meter_json(const MeterView& m, int64_t now, int64_t fresh_for_ms) {
    std::string out;
    JsonWriter json(out);
    json.begin_object();
    json.member("name", m.name);
    json.member("unit", m.unit);
    json.member("link", m.link);
    json.member("online", m.online());
    json.member("fresh", m.fresh(now, fresh_for_ms));
    json.key("active_alarms");
    write_active_alarms(json, m.active_alarms);
    json.key("rounds").begin_object();
    for (int k = 0; k < kReadOutcomeCount; ++k)
        json.member(k == 0 ? "complete" : outcome_name(static_cast<ReadOutcome>(k)), m.rounds[k]);
    json.end_object();
    json.key("latest");
    if (m.latest) {
        json.value(int64_t{0});  // a placeholder, replaced by the round's own object below
        out.resize(out.size() - 1);
        out += round_json_line(*m.latest);
    } else {
        json.null();
    }
    // The instant of the last complete round, for clients that show times in a zone of their own.
    json.key("last_complete_ms");
    if (m.last_complete) {
        json.value(m.last_complete->result->unix_ms);
    } else {
        json.null();
    }
    json.key("last_complete");
    if (m.last_complete) {
        json.value(int64_t{0});
        out.resize(out.size() - 1);
        out += round_json_line(*m.last_complete);
    } else {
        json.null();
    }
    json.end_object();
    return out;
}

HttpApi::HttpApi(const LiveMeters& sink, std::string database, const HttpLimits& limits,
                 double interval_s, const std::string& chart_dir,
                 std::vector<std::shared_ptr<const GatewayCounters>> gateways,
                 std::shared_ptr<const ReloadStatus> reloads)
    : sink_(sink),
      database_(std::move(database)),
      limits_(limits),
      interval_s_(interval_s),
      fresh_for_ms_(std::max<int64_t>(kFreshAtLeastMs, static_cast<int64_t>(interval_s * 3000))),
      page_files_(chart_dir),
      gateways_(std::move(gateways)),
      reloads_(std::move(reloads)) {}

// Every reply says how a browser may keep it: the page's files as PageFiles has them, the rest
// (live values, history, metrics) asked again on each use. Not no-store: a page whose replies
// forbid storing is kept out of the browser's back/forward cache.
HttpResponse HttpApi::handle(const HttpRequest& request) const {
    HttpResponse r = route(request);
    const bool said = std::any_of(r.headers.begin(), r.headers.end(),
                                  [](const auto& h) { return h.first == "Cache-Control"; });
    if (!said) r.headers.emplace_back("Cache-Control", "no-cache");
    return r;
}

HttpResponse HttpApi::route(const HttpRequest& request) const {
    if (request.method != "GET" && request.method != "HEAD") {
        HttpResponse r = error_reply(405, "only GET and HEAD are served");
        r.headers.emplace_back("Allow", "GET, HEAD");
        return r;
    }
    const std::string& path = request.path;
    if (const HttpResponse* file = page_files_.find(path)) return *file;
    if (path.compare(0, 9, "/dygraph.") == 0)
        return error_reply(404, "the chart library (libjs-dygraphs) is not installed");
    if (path == "/metrics") return metrics();
    if (path == "/api/meters" || path == "/api/meters/") return meters();
    if (path == "/api/alarms") return alarm_book();
    const std::string prefix = "/api/meters/";
    if (path.compare(0, prefix.size(), prefix) == 0) {
        std::string name = path.substr(prefix.size());
        const auto ends_with = [&](const std::string& tail) {
            return name.size() > tail.size() &&
                   name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
        };
        if (ends_with("/history")) return history(name.substr(0, name.size() - 8), request);
        if (ends_with("/series")) return series(name.substr(0, name.size() - 7), request);
        if (ends_with("/alarms")) return alarm_events(name.substr(0, name.size() - 7), request);
        return meter(name);
    }
    return error_reply(404, "no such page: " + path);
}

HttpResponse HttpApi::metrics() const {
    return content("text/plain; version=0.0.4; charset=utf-8",
                   metrics_text(sink_.snapshot(), system_now_ms(), fresh_for_ms_) +
                       gateway_metrics_text(gateways_) +
                       (reloads_ ? reload_metrics_text(*reloads_) : std::string()));
}

HttpResponse HttpApi::meters() const {
    const uint64_t sequence = sink_.sequence();
    const auto views = sink_.snapshot();
    const int64_t now = system_now_ms();
    HttpResponse r;
    JsonWriter json(r.body);
    json.begin_object();
    json.member("interval_s", interval_s_);
    json.member("sequence", sequence);
    json.key("measurements").begin_array();
    for (const Measurement& m : kMeasurements)
        json.begin_object().member("name", m.name).member("unit", m.unit).end_object();
    json.end_array();
    json.key("meters").begin_array();
    for (std::size_t i = 0; i < views.size(); ++i) {
        json.value(int64_t{0});
        r.body.resize(r.body.size() - 1);
        r.body += meter_json(views[i], now, fresh_for_ms_);
    }
    json.end_array();
    json.end_object();
    return r;
}

HttpResponse HttpApi::meter(const std::string& name) const {
    MeterView view;
    if (!sink_.meter(name, view)) return error_reply(404, "no meter named " + name);
    HttpResponse r;
    r.body = meter_json(view, system_now_ms(), fresh_for_ms_);
    return r;
}

HttpResponse HttpApi::alarm_book() const {
    HttpResponse r;
    JsonWriter json(r.body);
    json.begin_object().key("meters").begin_object();
    for (const MeterView& m : sink_.snapshot()) {
        json.key(m.name);
        write_active_alarms(json, m.active_alarms);
    }
    json.end_object().end_object();
    return r;
}

bool HttpApi::known_meter(const std::string& name, HistoryReader& reader) const {
    MeterView view;
    return sink_.meter(name, view) || reader.has_meter(name);
}

HttpResponse HttpApi::series(const std::string& name, const HttpRequest& request) const {
    const int64_t now = system_now_ms();
    SeriesRequest wanted;
    try {
        wanted = series_request(name, request, now);
    } catch (const BadTimeBound& e) {
        return error_reply(400, e.what());
    }
    HistoryReader reader(database_);
    if (!known_meter(name, reader)) return error_reply(404, "no meter named " + name);
    HttpResponse r;
    try {
        r.body = series_json(reader, wanted, now);
    } catch (const BadTimeBound& e) {
        return error_reply(400, e.what());
    }
    return r;
}

HttpResponse HttpApi::history(const std::string& name, const HttpRequest& request) const {
    std::pair<int64_t, int64_t> range;
    std::size_t limit = 0;
    std::set<std::string, std::less<>> fields;
    try {
        only_parameters(request, "from, to, limit, fields");
        range = time_range(request);
        limit = row_limit(request, limits_.max_history_rows);
        fields = record_fields(request);
    } catch (const BadTimeBound& e) {
        return error_reply(400, e.what());
    }
    HistoryReader reader(database_);
    if (!known_meter(name, reader)) return error_reply(404, "no meter named " + name);
    HttpResponse r;
    r.body.reserve(64 + limit * (fields.empty() ? 1400 : 40 + 16 * fields.size()));
    JsonWriter json(r.body);
    json.begin_object();
    json.member("meter", name);
    write_bound(json, "from", range.first);
    write_bound(json, "to", range.second);
    json.key("rows").begin_array();
    std::size_t count = 0;
    const bool truncated =
        reader.rounds(name, range.first, range.second, limit, [&](const HistoryRow& row) {
            r.body += count++ == 0 ? "{" : ",{";
            r.body += "\"history_id\":";
            r.body += std::to_string(row.history_id);
            r.body += ",\"time\":\"";
            r.body += iso_local_time(row.t_ms);
            r.body += "\",\"t_ms\":";
            r.body += std::to_string(row.t_ms);
            r.body += ",\"record\":";
            r.body += fields.empty() ? row.record_json : pick_members(row.record_json, fields);
            r.body += '}';
        });
    if (count > 0) {
        // The rows were appended by hand: close the array through the writer as if it held a
        // value, so it writes no separator before the next member.
        json.value(int64_t{0});
        r.body.resize(r.body.size() - 1);
    }
    json.end_array();
    json.member("count", uint64_t{count});
    json.member("truncated", truncated);
    json.end_object();
    return r;
}

HttpResponse HttpApi::alarm_events(const std::string& name, const HttpRequest& request) const {
    std::pair<int64_t, int64_t> range;
    std::size_t limit = 0;
    try {
        only_parameters(request, "from, to, limit");
        range = time_range(request);
        limit = row_limit(request, kMaxAlarmEvents);
    } catch (const BadTimeBound& e) {
        return error_reply(400, e.what());
    }
    HistoryReader reader(database_);
    if (!known_meter(name, reader)) return error_reply(404, "no meter named " + name);
    std::vector<AlarmEvent> events;
    const bool truncated = reader.alarm_events(name, range.first, range.second, limit, events);
    HttpResponse r;
    JsonWriter json(r.body);
    json.begin_object();
    json.member("meter", name);
    json.key("events").begin_array();
    for (const AlarmEvent& e : events) {
        json.begin_object();
        json.member("id", e.id);
        json.member("key", e.key);
        json.member("state", e.raised ? "raised" : "cleared");
        json.member("description", e.description);
        json.member("time", iso_local_time(e.t_ms));
        json.member("t_ms", e.t_ms);
        json.end_object();
    }
    json.end_array();
    json.member("truncated", truncated);
    json.end_object();
    return r;
}

}  // namespace kavren::host
