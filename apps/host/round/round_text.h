#pragma once

#include <string>

#include "apps/host/round/round_result.h"
#include "apps/host/support/json_writer.h"
#include "meter/kavren_m7_data.h"

namespace kavren::host {

// The record's own time stamp as "YYYY-MM-DD HH:MM:SS".
std::string record_time_text(const uint8_t* record, std::size_t length);
inline std::string record_time_text(const std::vector<uint8_t>& record) {
    return record_time_text(record.data(), record.size());
}

// Every decoded field of a published record, by its name in the record layout, as the members
// of the JSON object being written.
void write_record_fields(JsonWriter& json, const KAVREN_M7_Data_t& record);
// The record image as the record, when it has the record's size.
bool decode_record(const std::vector<uint8_t>& bytes, KAVREN_M7_Data_t& record);

// A meter's active alarms as one JSON object: by key, each with its description and since when.
void write_active_alarms(JsonWriter& json, const std::map<std::string, AlarmBook::Alarm>& alarms);
// A stored round as one JSON object on one line (no newline).
std::string round_json_line(const StoredRound& round);
// A stored round as the readable view: a few lines (no final newline).
std::string round_readable_text(const StoredRound& round);

}  // namespace kavren::host
