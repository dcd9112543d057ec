#pragma once

#include <string>
#include <utility>
#include <vector>

#include "apps/host/sinks/mqtt/mqtt_payload.h"

namespace kavren::host {

// Home Assistant discovery for one meter: (topic, retained config) pairs, one device per meter
// with a sensor per measurement, frequency and power factor, and a problem binary sensor per
// limit whose name is known (limit_names[i] empty: that limit is left out until a round has
// reported it). `page_url`, when not empty, is the device's configuration_url: the host's page.
std::vector<std::pair<std::string, std::string>> discovery_messages(
    const MqttTopics& topics, const std::string& meter, const std::vector<std::string>& limit_names,
    const std::string& page_url);

// Every config topic the meter has or may come to have (every limit's): what is cleared when
// the meter is no longer configured.
std::vector<std::string> discovery_topics(const MqttTopics& topics, const std::string& meter);

// A limit's entity name from the driver's description of it (measurand and comparison word) and
// the record's limit value and measurand code (value and unit): "Limit 1: A 相电压 < 207 V" for
// slot 0, "A 相电压小于2.06999993", 207 and code 7. The driver's description shows the value
// divided by a further 100; the record's is the meter's. A description of another form is kept
// whole after "Limit 1: ".
std::string limit_title(int slot, const std::string& description, float value, int code);

// The meter's part of its Home Assistant ids (device identifier, unique ids, discovery topics),
// ASCII as Home Assistant asks. An ASCII name keeps the id it always had, its topic-safe form; a
// name with other letters is its slug and a hash of the whole name ("一号电表" is "35dfd66f"),
// so that names apart only in those letters get ids of their own.
std::string meter_object_id(const std::string& meter);

// The object part of an entity id made from a text: ASCII letters in lower case and digits,
// anything else one '_' between them ("feeder 1" is "feeder_1", "UAverage_1" "uaverage_1").
std::string entity_slug(const std::string& text);

}  // namespace kavren::host
