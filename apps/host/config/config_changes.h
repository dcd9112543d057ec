#pragma once

#include <string>
#include <vector>

#include "apps/host/config/field_table.h"
#include "apps/host/config/host_config.h"

namespace kavren::host {

// What applying a new configuration over a running one changes, found by comparing the two
// (both checked) field by field through the table of fields.
//
// A link is known by its line (its kind and address: "rtu /dev/ttyUSB0"), a meter by its name,
// which is unique across the configuration. A link whose line settings changed is reopened; a
// meter whose fields, settings or link changed gets a new driver object.
struct ConfigChanges {
    std::vector<std::string> links_added;  // lines, as LinkConfig::describe() says them
    std::vector<std::string> links_removed;
    std::vector<std::string> links_reopened;    // the same line with other line settings
    std::vector<std::string> gateways_changed;  // links whose gateway is added, removed or other
    std::vector<std::string> meters_added;      // names
    std::vector<std::string> meters_removed;
    std::vector<std::string> meters_changed;
    // Fields of the top level, "http", "mqtt" and "retention" whose values differ.
    std::vector<const Field*> fields_changed;

    bool empty() const;
    // Whether a field of `section` (http, mqtt, retention, top) changed.
    bool changed(Section section) const;
    // The changed fields a reload cannot apply (the history file, the plug-in).
    std::vector<const Field*> fixed_until_restart() const;
};

ConfigChanges compare_configs(const HostConfig& before, const HostConfig& after);

// Whether a field holds the same value in two structs of its section.
bool same_value(const Field& field, const void* a, const void* b);

}  // namespace kavren::host
