#pragma once

#include <string>

#include "apps/host/config/config_fields.h"
#include "apps/host/config/field_table.h"

namespace kavren::host {

// The checks of fields whose values are more than a range, each naming the field through `place`.

// One line naming the field as the file calls it (or its option) and what is wrong with it.
[[noreturn]] void bad_field(const Place& place, const Field& field, const std::string& what);

void check_interval(const Field& field, const FieldValue& value, const Place& place);
void check_commit_interval(const Field& field, const FieldValue& value, const Place& place);
void check_max_age(const Field& field, const FieldValue& value, const Place& place);
void check_not_negative(const Field& field, const FieldValue& value, const Place& place);
void check_file_named(const Field& field, const FieldValue& value, const Place& place);
void check_baud(const Field& field, const FieldValue& value, const Place& place);
void check_stop_bits(const Field& field, const FieldValue& value, const Place& place);
void check_meter_name(const Field& field, const FieldValue& value, const Place& place);
void check_page_url(const Field& field, const FieldValue& value, const Place& place);

// The speeds a serial port can be set to, for --help and the documentation.
std::string baud_rates_text();

}  // namespace kavren::host
