#include "apps/host/config/config_changes.h"

#include <algorithm>
#include <map>

namespace kavren::host {

namespace {

template <typename T>
bool same(const Field& field, const void* a, const void* b) {
    return *static_cast<const T*>(field.at(const_cast<void*>(a))) ==
           *static_cast<const T*>(field.at(const_cast<void*>(b)));
}

// Whether every field of `section` is the same in both structs; the ones that differ are added
// to `changed` when it is given.
bool same_fields(Section section, const void* a, const void* b,
                 std::vector<const Field*>* changed = nullptr) {
    bool all = true;
    for (const Field* f : fields_of(section)) {
        if (f->at == nullptr || same_value(*f, a, b)) continue;
        all = false;
        if (changed != nullptr) changed->push_back(f);
    }
    return all;
}

const char* kind_name(LinkConfig::Kind kind) {
    switch (kind) {
        case LinkConfig::Kind::rtu:
            return "rtu";
        case LinkConfig::Kind::tcp:
            return "tcp";
        case LinkConfig::Kind::rtu_over_tcp:
            return "rtu_over_tcp";
    }
    return "";
}

std::string line_of(const LinkConfig& link) {
    return std::string(kind_name(link.kind)) + " " + link.describe();
}

// Every meter by name, with the line of its link.
std::map<std::string, std::pair<const MeterConfig*, std::string>> meters_of(
    const HostConfig& config) {
    std::map<std::string, std::pair<const MeterConfig*, std::string>> meters;
    for (const LinkConfig& link : config.links)
        for (const MeterConfig& meter : link.meters) meters[meter.name] = {&meter, line_of(link)};
    return meters;
}

void compare_links(const HostConfig& before, const HostConfig& after, ConfigChanges& changes) {
    std::map<std::string, const LinkConfig*> old_links;
    for (const LinkConfig& link : before.links) old_links[line_of(link)] = &link;
    for (const LinkConfig& link : after.links) {
        const auto old = old_links.find(line_of(link));
        if (old == old_links.end()) {
            changes.links_added.push_back(link.describe());
            continue;
        }
        if (!same_fields(Section::link, old->second, &link))
            changes.links_reopened.push_back(link.describe());
        if (old->second->gateway.enabled() != link.gateway.enabled() ||
            !same_fields(Section::gateway, &old->second->gateway, &link.gateway))
            changes.gateways_changed.push_back(link.describe());
        old_links.erase(old);
    }
    for (const LinkConfig& link : before.links)
        if (old_links.count(line_of(link)) > 0) changes.links_removed.push_back(link.describe());
}

void compare_meters(const HostConfig& before, const HostConfig& after, ConfigChanges& changes) {
    auto old_meters = meters_of(before);
    for (const auto& [name, now] : meters_of(after)) {
        const auto old = old_meters.find(name);
        if (old == old_meters.end()) {
            changes.meters_added.push_back(name);
            continue;
        }
        const MeterConfig& a = *old->second.first;
        const MeterConfig& b = *now.first;
        if (old->second.second != now.second || !same_fields(Section::meter, &a, &b) ||
            a.settings != b.settings)
            changes.meters_changed.push_back(name);
        old_meters.erase(old);
    }
    for (const auto& [name, old] : old_meters) changes.meters_removed.push_back(name);
}

}  // namespace

bool same_value(const Field& field, const void* a, const void* b) {
    switch (field.kind) {
        case Kind::text:
        case Kind::path:
            return same<std::string>(field, a, b);
        case Kind::whole:
            return same<int>(field, a, b);
        case Kind::whole_long:
            return same<long>(field, a, b);
        case Kind::count:
            return same<std::size_t>(field, a, b);
        case Kind::id:
            return same<uint32_t>(field, a, b);
        case Kind::seconds:
            return same<double>(field, a, b);
        case Kind::flag:
        case Kind::off_flag:
            return same<bool>(field, a, b);
        case Kind::parity:
            return same<char>(field, a, b);
        case Kind::names:
            return same<std::vector<std::string>>(field, a, b);
        case Kind::duration:
            return same<int64_t>(field, a, b);
        case Kind::size:
            return same<uint64_t>(field, a, b);
        default:
            return true;  // read with their link or meter, compared there
    }
}

ConfigChanges compare_configs(const HostConfig& before, const HostConfig& after) {
    ConfigChanges changes;
    compare_links(before, after, changes);
    compare_meters(before, after, changes);
    same_fields(Section::top, &before, &after, &changes.fields_changed);
    same_fields(Section::retention, &before.retention, &after.retention, &changes.fields_changed);
    same_fields(Section::http, &before.http, &after.http, &changes.fields_changed);
    same_fields(Section::mqtt, &before.mqtt, &after.mqtt, &changes.fields_changed);
    return changes;
}

bool ConfigChanges::empty() const {
    return links_added.empty() && links_removed.empty() && links_reopened.empty() &&
           gateways_changed.empty() && meters_added.empty() && meters_removed.empty() &&
           meters_changed.empty() && fields_changed.empty();
}

bool ConfigChanges::changed(Section section) const {
    return std::any_of(fields_changed.begin(), fields_changed.end(),
                       [&](const Field* f) { return f->section == section; });
}

std::vector<const Field*> ConfigChanges::fixed_until_restart() const {
    std::vector<const Field*> fixed;
    for (const Field* f : fields_changed)
        if (!f->reloadable) fixed.push_back(f);
    return fixed;
}

}  // namespace kavren::host
