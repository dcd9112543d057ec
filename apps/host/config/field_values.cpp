#include "apps/host/config/field_values.h"

#include <climits>
#include <cmath>
#include <stdexcept>

#include "apps/common/cli_values.h"
#include "apps/host/config/field_checks.h"

namespace kavren::host {

namespace {

std::string whole_number_text(const Field& field) {
    if (field.kind == Kind::id) return "must be a whole number from 0 to 4294967295";
    return std::string("must be a whole number") + (*field.unit ? " of " : "") + field.unit;
}

bool fits(const Field& field, long long value) {
    switch (field.kind) {
        case Kind::whole:
            return value >= INT_MIN && value <= INT_MAX;
        case Kind::count:
            return value >= 0;
        case Kind::id:
            return value >= 0 && value <= UINT32_MAX;
        default:
            return true;
    }
}

// A whole number as read, in range for its member or else refused as not one.
FieldValue whole(const Field& field, long long value, const Place& place) {
    // Out of the member's range is out of the field's range when it has one, which says more.
    if (!fits(field, value) && !field.has_range) bad_field(place, field, whole_number_text(field));
    FieldValue v;
    v.whole = value;
    return v;
}

template <typename Parse>
FieldValue parsed(const Field& field, const std::string& text, const Place& place, Parse parse) {
    FieldValue v;
    v.text = text;
    try {
        const auto value = parse(text);
        v.whole = static_cast<long long>(value);
        v.unsigned_whole = static_cast<unsigned long long>(value);
    } catch (const std::invalid_argument& e) {
        bad_field(place, field, e.what());
    }
    return v;
}

FieldValue parity(const Field& field, const std::string& text, const Place& place) {
    FieldValue v;
    try {
        v.text = std::string(1, app::parse_parity(text));
    } catch (const std::invalid_argument&) {
        bad_field(place, field, "must be N, E or O (got " + quoted(text) + ")");
    }
    return v;
}

// What the file's retention texts are like, for a member that is not text.
std::string retention_example(const Field& field) {
    return field.kind == Kind::size ? "must be text such as \"30d\" or \"2GiB\""
                                    : "must be text such as \"30d\"";
}

FieldValue names_from_json(const Field& field, const Json::Value& value, const Place& place) {
    FieldValue v;
    if (!value.isArray()) bad_field(place, field, "must be a list of names");
    for (const Json::Value& name : value) {
        if (!name.isString() || name.asString().empty())
            bad_field(place, field, "must be a list of names");
        v.names.push_back(name.asString());
    }
    return v;
}

}  // namespace

FieldValue value_from_json(const Field& field, const Json::Value& value, const Place& place,
                           const std::string& file) {
    FieldValue v;
    switch (field.kind) {
        case Kind::text:
        case Kind::path:
            if (!value.isString()) bad_field(place, field, "must be text");
            v.text = field.kind == Kind::path ? beside(file, value.asString()) : value.asString();
            return v;
        case Kind::whole:
        case Kind::whole_long:
        case Kind::count:
        case Kind::id:
            if (!value.isInt64() || (field.kind == Kind::id && !value.isUInt()))
                bad_field(place, field, whole_number_text(field));
            return whole(field, value.asInt64(), place);
        case Kind::seconds:
            if (!value.isNumeric()) bad_field(place, field, "must be a number of seconds");
            v.number = value.asDouble();
            return v;
        case Kind::flag:
        case Kind::off_flag:
            if (!value.isBool()) bad_field(place, field, "must be true or false");
            v.flag = value.asBool();
            return v;
        case Kind::parity:
            if (!value.isString()) bad_field(place, field, "must be text");
            return parity(field, value.asString(), place);
        case Kind::names:
            return names_from_json(field, value, place);
        case Kind::duration:
        case Kind::size:
            if (!value.isString()) bad_field(place, field, retention_example(field));
            return value_from_text(field, value.asString(), place);
        default:
            throw std::logic_error(std::string("no generic reading of ") + field.key);
    }
}

FieldValue value_from_text(const Field& field, const std::string& text, const Place& place) {
    switch (field.kind) {
        case Kind::whole:
        case Kind::whole_long:
        case Kind::count:
        case Kind::id: {
            std::size_t used = 0;
            long long value = 0;
            try {
                value = std::stoll(text, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used == 0 || used != text.size()) bad_field(place, field, whole_number_text(field));
            return whole(field, value, place);
        }
        case Kind::seconds: {
            FieldValue v;
            char* end = nullptr;
            v.number = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !std::isfinite(v.number))
                bad_field(place, field, "must be a number of seconds");
            return v;
        }
        case Kind::parity:
            return parity(field, text, place);
        case Kind::duration:
            return parsed(field, text, place, parse_retention_duration);
        case Kind::size:
            return parsed(field, text, place, parse_history_size);
        default: {
            FieldValue v;
            v.text = text;
            return v;
        }
    }
}

void check_value(const Field& field, const FieldValue& value, const Place& place) {
    if (field.has_range)
        check_range(place, field.key != nullptr ? field.key : field.option, field.option_or_key(),
                    value.whole, field.low, field.high,
                    (std::string(*field.unit ? " " : "") + field.unit).c_str());
    if (field.check != nullptr) field.check(field, value, place);
}

void store_value(const Field& field, const FieldValue& value, void* owner) {
    void* at = field.at(owner);
    switch (field.kind) {
        case Kind::text:
        case Kind::path:
            *static_cast<std::string*>(at) = value.text;
            break;
        case Kind::whole:
            *static_cast<int*>(at) = static_cast<int>(value.whole);
            break;
        case Kind::whole_long:
            *static_cast<long*>(at) = static_cast<long>(value.whole);
            break;
        case Kind::count:
            *static_cast<std::size_t*>(at) = static_cast<std::size_t>(value.whole);
            break;
        case Kind::id:
            *static_cast<uint32_t*>(at) = static_cast<uint32_t>(value.whole);
            break;
        case Kind::seconds:
            *static_cast<double*>(at) = value.number;
            break;
        case Kind::flag:
            *static_cast<bool*>(at) = value.flag;
            break;
        case Kind::off_flag:
            *static_cast<bool*>(at) = !value.flag;
            break;
        case Kind::parity:
            *static_cast<char*>(at) = value.text.at(0);
            break;
        case Kind::names:
            *static_cast<std::vector<std::string>*>(at) = value.names;
            break;
        case Kind::duration:
            *static_cast<int64_t*>(at) = value.whole;
            break;
        case Kind::size:
            *static_cast<uint64_t*>(at) = value.unsigned_whole;
            break;
        default:
            throw std::logic_error(std::string("no member for ") + field.key);
    }
}

const Field& field_named(Section section, const char* key) {
    for (const Field* f : fields_of(section))
        if (f->key != nullptr && std::string(f->key) == key) return *f;
    throw std::logic_error(std::string("no configuration field ") + key);
}

void read_field(const Field& field, const Json::Value& object, const std::string& file,
                const Place& place, void* owner) {
    const FieldValue value = value_from_json(field, object[field.key], place, file);
    check_value(field, value, place);
    store_value(field, value, owner);
}

void read_fields(Section section, const Json::Value& object, const std::vector<std::string>& more,
                 const std::string& file, const Place& place, void* owner) {
    std::vector<std::string> known;
    for (const Field* f : fields_of(section))
        if (f->key != nullptr) known.emplace_back(f->key);
    known.insert(known.end(), more.begin(), more.end());
    only_members(object, known, place);
    for (const Field* f : fields_of(section)) {
        if (f->key != nullptr && f->at != nullptr && object.isMember(f->key))
            read_field(*f, object, file, place, owner);
    }
}

}  // namespace kavren::host
