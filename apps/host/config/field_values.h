#pragma once

#include <string>
#include <vector>

#include <json/json.h>

#include "apps/host/config/config_fields.h"
#include "apps/host/config/field_table.h"

namespace kavren::host {

// Reading fields from the configuration file and from the command line, checking them and
// storing them, the same way for every field of the table. Every failure is a ConfigError whose
// one line names the field through `place`.

// A value of the file; a path is taken from the folder of `file`.
FieldValue value_from_json(const Field& field, const Json::Value& value, const Place& place,
                           const std::string& file);
// A value of the command line, as the option was given.
FieldValue value_from_text(const Field& field, const std::string& text, const Place& place);
// The field's range and its own check.
void check_value(const Field& field, const FieldValue& value, const Place& place);
// Into the field's member of `owner`, the struct of its section.
void store_value(const Field& field, const FieldValue& value, void* owner);

// The field `key` of `section`; a key that is not in the table is a mistake of the program.
const Field& field_named(Section section, const char* key);
// One field of a file's object, read, checked and stored.
void read_field(const Field& field, const Json::Value& object, const std::string& file,
                const Place& place, void* owner);
// The object of `section` in the file: every member that is a field of the section is read,
// checked and stored into `owner`; a member that is neither such a field nor one of `more` is
// refused. `place` names the object in messages.
void read_fields(Section section, const Json::Value& object, const std::vector<std::string>& more,
                 const std::string& file, const Place& place, void* owner);

}  // namespace kavren::host
