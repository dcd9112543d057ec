#include "apps/host/config/fields_markdown.h"

#include "apps/host/config/field_table.h"

namespace kavren::host {

namespace {

const char* type_text(const Field& field) {
    switch (field.kind) {
        case Kind::path:
            return "file name";
        case Kind::whole:
        case Kind::whole_long:
        case Kind::count:
        case Kind::id:
            return "whole number";
        case Kind::seconds:
            return "seconds";
        case Kind::flag:
            return field.key != nullptr ? "true or false" : "flag";
        case Kind::off_flag:
            return "flag";
        case Kind::parity:
            return "letter";
        case Kind::names:
            return "list of names";
        case Kind::duration:
            return "duration";
        case Kind::size:
            return "size";
        case Kind::settings:
            return "file name or object";
        default:
            return "text";
    }
}

// A table cell: '|' would end it.
std::string cell(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '|' ? std::string("\\|") : std::string(1, c);
    return out;
}

std::string code(const std::string& text) { return text.empty() ? "" : "`" + text + "`"; }

// A reload reads the file again; what only the command line gives stays as it was given.
const char* reload_text(const Field& f) {
    if (f.key == nullptr) return "stays as given";
    return f.reloadable ? "yes" : "no: restart";
}

std::string row(const Field& f) {
    const std::string shown = default_text(f);
    return "| " + code(field_path(f)) + " | " + code(f.option != nullptr ? f.option : "") + " | " +
           type_text(f) + " | " + cell(shown.empty() ? "none" : shown) + " | " +
           cell(accepted_text(f)) + " | " + reload_text(f) + " | " + cell(f.help) + " |\n";
}

}  // namespace

std::string fields_markdown() {
    std::string table =
        "| field in the file | option | type | default | accepted | reload changes it | what it "
        "is |\n|---|---|---|---|---|---|---|\n";
    for (const Field& f : config_fields()) table += row(f);
    return table;
}

}  // namespace kavren::host
