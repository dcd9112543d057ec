#pragma once

#include <string>
#include <utility>
#include <vector>

#include "apps/host/sinks/mqtt/mqtt_payload.h"

namespace kavren::host {

// Home Assistant discovery for one meter: (topic, retained config) pairs, one device per meter
// with a sensor per measurement, frequency and power factor, and a problem binary sensor per
// limit whose text is known (descriptions[i] empty: that limit is left out until a round has
// reported it). `page_url`, when not empty, is the device's configuration_url: the host's page.
std::vector<std::pair<std::string, std::string>> discovery_messages(
    const MqttTopics& topics, const std::string& meter,
    const std::vector<std::string>& descriptions, const std::string& page_url);

// Every config topic the meter has or may come to have (every limit's): what is cleared when
// the meter is no longer configured.
std::vector<std::string> discovery_topics(const MqttTopics& topics, const std::string& meter);

// A limit's entity name from the driver's description of it (measurand, comparison word, value
// as a float prints): "Limit 1: A 相电压 < 2.2" for slot 0 and "A 相电压小于2.20000005"; a
// description of another form is kept whole after "Limit 1: ".
std::string limit_title(int slot, const std::string& description);

// The object part of an entity id made from a text: ASCII letters in lower case and digits,
// anything else one '_' between them ("feeder 1" is "feeder_1", "UAverage_1" "uaverage_1").
std::string entity_slug(const std::string& text);

}  // namespace kavren::host
