#include "apps/host/config/field_checks.h"

#include "apps/host/support/utf8.h"

namespace kavren::host {

namespace {

// The speeds termios names (B110 ... B921600) that serial adapters run.
constexpr int kBaudRates[] = {110,   300,   600,    1200,   2400,   4800,   9600,   19200,
                              38400, 57600, 115200, 230400, 460800, 500000, 576000, 921600};

}  // namespace

bool standard_baud_rate(int baud) {
    for (int rate : kBaudRates)
        if (rate == baud) return true;
    return false;
}

std::string baud_rates_text() {
    std::string text;
    for (int rate : kBaudRates) text += (text.empty() ? "" : ", ") + std::to_string(rate);
    return text;
}

void bad_field(const Place& place, const Field& field, const std::string& what) {
    place.bad(field.key != nullptr ? field.key : field.option, field.option_or_key(), what);
}

void check_interval(const Field& field, const FieldValue& value, const Place& place) {
    if (!(value.number > 0) || value.number > 86400)
        bad_field(place, field, "must be more than 0 and at most 86400 seconds");
}

void check_commit_interval(const Field& field, const FieldValue& value, const Place& place) {
    if (!(value.number >= 0) || value.number > 3600)
        bad_field(place, field, "must be from 0 to 3600 seconds");
}

void check_max_age(const Field& field, const FieldValue& value, const Place& place) {
    if (!(value.number >= 0) || value.number > 86400)
        bad_field(place, field, "must be from 0 to 86400 seconds");
}

void check_not_negative(const Field& field, const FieldValue& value, const Place& place) {
    if (value.whole < 0) bad_field(place, field, "cannot be negative");
}

void check_file_named(const Field& field, const FieldValue& value, const Place& place) {
    if (value.text.empty()) bad_field(place, field, "must name a file");
}

void check_baud(const Field& field, const FieldValue& value, const Place& place) {
    if (!standard_baud_rate(static_cast<int>(value.whole)) || value.whole != int(value.whole))
        bad_field(place, field,
                  "must be a speed a serial port can run, such as 9600 or 19200 (got " +
                      std::to_string(value.whole) + ")");
}

void check_stop_bits(const Field& field, const FieldValue& value, const Place& place) {
    if (value.whole != 1 && value.whole != 2)
        bad_field(place, field, "must be 1 or 2 (got " + std::to_string(value.whole) + ")");
}

void check_meter_name(const Field& field, const FieldValue& value, const Place& place) {
    const std::string& name = value.text;
    if (name.empty()) bad_field(place, field, "must not be empty");
    if (!printable_utf8(name))
        bad_field(place, field, "must be UTF-8 text without control characters");
    // A name is one path segment of the API's addresses and one level of the MQTT topics.
    if (name.find('/') != std::string::npos || name == "." || name == "..")
        bad_field(place, field, "must not hold a '/' nor be \".\" or \"..\"");
    if (name.size() > kMaxMeterNameBytes)
        bad_field(place, field,
                  "must be at most " + std::to_string(kMaxMeterNameBytes) + " bytes (it has " +
                      std::to_string(name.size()) + ")");
}

// Sent as it is to Home Assistant, which shows it as a link.
void check_page_url(const Field& field, const FieldValue& value, const Place& place) {
    const std::string& url = value.text;
    const bool web = url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
    if (!url.empty() && (!web || url.find_first_of(" \t\r\n\"<>") != std::string::npos))
        bad_field(place, field,
                  "must be an http:// or https:// address without spaces (\"" + url + "\")");
}

}  // namespace kavren::host
