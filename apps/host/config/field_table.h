#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "apps/host/config/host_config.h"

namespace kavren::host {

// Every configuration field of kavren-host, written once: where it stands in the configuration
// file, the option that sets it, what it takes, its help, and whether a reload may change it.
// The file reader, the command line, the checks and their messages, --help and the table of
// fields in the documentation are all made from this table.

// Where a field lives: the file's top level or one of its objects, and the struct that holds it.
enum class Section { top, link, meter, gateway, http, mqtt, retention };

// What a field's value is, and so how it is read from the file and from the command line.
enum class Kind {
    text,        // std::string
    path,        // std::string; in a file, taken from the file's folder
    whole,       // int
    whole_long,  // long
    count,       // std::size_t
    id,          // uint32_t
    seconds,     // double
    flag,        // bool: the option is given or not
    off_flag,    // bool, false when the option is given (a "--no-..." option)
    parity,      // char: 'N', 'E' or 'O'
    names,       // std::vector<std::string>; the option is given once per name
    duration,    // int64_t milliseconds, written "30d"
    size,        // uint64_t bytes, written "2GiB"
    link_kind,   // where a link goes (rtu, tcp, rtu_over_tcp): read with the link itself
    settings,    // the driver's settings: a file, or in a file an object
};

// The member type each kind is read into, in the order of Kind (link_kind and settings have
// none: they are read with their link and meter).
using KindStorages = std::tuple<std::string, std::string, int, long, std::size_t, uint32_t, double,
                                bool, bool, char, std::vector<std::string>, int64_t, uint64_t>;
template <Kind K>
using KindStorage = std::tuple_element_t<static_cast<std::size_t>(K), KindStorages>;

// The struct each section is held in, in the order of Section.
using SectionOwners = std::tuple<HostConfig, LinkConfig, MeterConfig, GatewayConfig, HttpConfig,
                                 MqttConfig, RetentionConfig>;
template <class Owner, std::size_t I = 0>
constexpr Section section_of() {
    if constexpr (std::is_same_v<Owner, std::tuple_element_t<I, SectionOwners>>)
        return static_cast<Section>(I);
    else
        return section_of<Owner, I + 1>();
}

struct Place;
struct Field;

// A field's value as read, before it is stored: whole numbers of every size as long long or
// unsigned long long, so that a range is checked before anything is narrowed.
struct FieldValue {
    std::string text;
    long long whole = 0;
    unsigned long long unsigned_whole = 0;
    double number = 0;
    bool flag = false;
    std::vector<std::string> names;
};

// A check beyond a range: throws ConfigError through `place` naming the field.
using FieldCheck = void (*)(const Field& field, const FieldValue& value, const Place& place);

struct Field {
    Section section = Section::top;
    Kind kind = Kind::text;
    const char* key = nullptr;     // in its object of the file; nullptr: the command line only
    const char* option = nullptr;  // nullptr: the file only
    const char* help = "";
    std::string accepted;    // for --help and the documentation; empty: made from `range`
    bool has_range = false;  // whole numbers from `low` to `high`, checked
    long long low = 0, high = 0;
    const char* unit = "";  // "ms", "clients": in messages and the documentation
    FieldCheck check = nullptr;
    const char* default_note = nullptr;  // nullptr: the default is what the struct starts with
    bool reloadable = true;
    void* (*at)(void* owner) = nullptr;  // the value in its struct (HostConfig for Section::top)

    // How the field is named in messages: as the file calls it, or the option that sets it.
    const char* option_or_key() const { return option != nullptr ? option : key; }

    Field& accepts(std::string text) {
        accepted = std::move(text);
        return *this;
    }
    Field& range(long long from, long long to, const char* in = "") {
        has_range = true;
        low = from;
        high = to;
        unit = in;
        return *this;
    }
    Field& in_units(const char* in) {
        unit = in;
        return *this;
    }
    Field& checked_by(FieldCheck by) {
        check = by;
        return *this;
    }
    Field& by_default(const char* note) {
        default_note = note;
        return *this;
    }
    Field& fixed_until_restart() {
        reloadable = false;
        return *this;
    }
};

template <class Member>
struct MemberTraits;
template <class Owner, class Type>
struct MemberTraits<Type Owner::*> {
    using owner = Owner;
    using type = Type;
};

template <auto Member>
void* member_at(void* owner) {
    using Owner = typename MemberTraits<decltype(Member)>::owner;
    return &(static_cast<Owner*>(owner)->*Member);
}

// A field held in `Member`, whose type must be the one its kind reads.
template <Kind K, auto Member>
Field field(const char* key, const char* option, const char* help) {
    using Traits = MemberTraits<decltype(Member)>;
    static_assert(std::is_same_v<KindStorage<K>, typename Traits::type>,
                  "the member's type is not the one its kind reads");
    Field f;
    f.section = section_of<typename Traits::owner>();
    f.kind = K;
    f.key = key;
    f.option = option;
    f.help = help;
    f.at = &member_at<Member>;
    return f;
}

// Every field, in the order of --help and of the documentation.
const std::vector<Field>& config_fields();
// The fields of one section, in that order.
std::vector<const Field*> fields_of(Section section);

// The section's object in the file ("mqtt"), nullptr for the top level, links and meters.
const char* section_key(Section section);
// A field's full name in the file: "links[].meters[].unit", "mqtt.prefix".
std::string field_path(const Field& field);

// A field's default as the documentation and --help show it.
std::string default_text(const Field& field);
// What a field accepts, as the documentation and --help show it.
std::string accepted_text(const Field& field);
// A value as the file would write it ("30d", "2GiB", "E", "a, b").
std::string value_text(const Field& field, const void* owner);

}  // namespace kavren::host
