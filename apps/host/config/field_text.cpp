// The fields' names, defaults and accepted values as --help and the documentation show them.
#include <cstdio>

#include "apps/host/config/field_table.h"

namespace kavren::host {

namespace {

// "2GiB", "500MiB", "unlimited": as a file would write it.
std::string compact_size(uint64_t bytes) {
    if (bytes == 0) return "unlimited";
    static const char* const units[] = {"TiB", "GiB", "MiB", "KiB"};
    for (int i = 0; i < 4; ++i) {
        const uint64_t factor = uint64_t{1} << (10 * (4 - i));
        if (bytes % factor == 0) return std::to_string(bytes / factor) + units[i];
    }
    return std::to_string(bytes);
}

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

template <typename T>
const T& member(const Field& field, const void* owner) {
    return *static_cast<const T*>(field.at(const_cast<void*>(owner)));
}

}  // namespace

const char* section_key(Section section) {
    switch (section) {
        case Section::gateway:
            return "gateway";
        case Section::http:
            return "http";
        case Section::mqtt:
            return "mqtt";
        case Section::retention:
            return "retention";
        default:
            return nullptr;
    }
}

std::string field_path(const Field& field) {
    if (field.key == nullptr) return {};
    switch (field.section) {
        case Section::top:
            return field.key;
        case Section::link:
            return std::string("links[].") + field.key;
        case Section::meter:
            return std::string("links[].meters[].") + field.key;
        case Section::gateway:
            return std::string("links[].gateway.") + field.key;
        default:
            return std::string(section_key(field.section)) + "." + field.key;
    }
}

std::string value_text(const Field& field, const void* owner) {
    switch (field.kind) {
        case Kind::text:
        case Kind::path:
            return member<std::string>(field, owner);
        case Kind::whole:
            return std::to_string(member<int>(field, owner));
        case Kind::whole_long:
            return std::to_string(member<long>(field, owner));
        case Kind::count:
            return std::to_string(member<std::size_t>(field, owner));
        case Kind::id:
            return std::to_string(member<uint32_t>(field, owner));
        case Kind::seconds:
            return seconds_text(member<double>(field, owner));
        case Kind::flag:
            return member<bool>(field, owner) ? "true" : "false";
        case Kind::off_flag:
            return member<bool>(field, owner) ? "false" : "true";
        case Kind::parity:
            return std::string(1, member<char>(field, owner));
        case Kind::duration:
            return retention_text(member<int64_t>(field, owner));
        case Kind::size:
            return compact_size(member<uint64_t>(field, owner));
        case Kind::names: {
            std::string list;
            for (const std::string& name : member<std::vector<std::string>>(field, owner))
                list += (list.empty() ? "" : ", ") + name;
            return list;
        }
        default:
            return {};
    }
}

std::string default_text(const Field& field) {
    if (field.default_note != nullptr) return field.default_note;
    const bool option_alone = field.key == nullptr;
    if (option_alone && (field.kind == Kind::flag || field.kind == Kind::off_flag))
        return "not given";
    if (field.at == nullptr) return {};
    const HostConfig host;
    const LinkConfig link;
    const MeterConfig meter;
    const GatewayConfig gateway;
    const void* owners[] = {&host,      &link,      &meter,         &gateway,
                            &host.http, &host.mqtt, &host.retention};
    return value_text(field, owners[static_cast<int>(field.section)]);
}

std::string accepted_text(const Field& field) {
    if (!field.accepted.empty()) return field.accepted;
    if (field.has_range)
        return std::to_string(field.low) + " to " + std::to_string(field.high) +
               (*field.unit ? " " : "") + field.unit;
    switch (field.kind) {
        case Kind::path:
            return "a file name";
        case Kind::flag:
            return field.key != nullptr ? "true or false" : "given or not";
        case Kind::off_flag:
            return "given or not";
        default:
            return "text";
    }
}

}  // namespace kavren::host
