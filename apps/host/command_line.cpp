#include "apps/host/command_line.h"

#include "apps/common/json_file.h"
#include "apps/common/plugin_library.h"
#include "apps/common/program.h"
#include "apps/host/config/field_values.h"
#include "apps/host/sinks/http/http_server.h"
#include "apps/host/sinks/mqtt/mqtt_options.h"

namespace kavren::host {

using app::UsageError;

const char* const kCommandLineRule =
    "An option given on the command line wins over the configuration file's value, at start and "
    "at every reload. The options of the link, the meter and the gateway describe the one link "
    "given by --rtu, --tcp or --rtu-over-tcp; with --config, links are in the file. SIGHUP "
    "(systemctl reload) reads the file again and applies what changed; a field a reload does not "
    "change is kept as the host started.";

namespace {

const char* group_of(Section section) {
    switch (section) {
        case Section::top:
            return "Running";
        case Section::retention:
            return "History retention";
        case Section::link:
            return "The link (without --config)";
        case Section::meter:
            return "The link's meter (without --config)";
        case Section::gateway:
            return "The link's Modbus TCP gateway (without --config)";
        case Section::http:
            return "HTTP";
        case Section::mqtt:
            return "MQTT";
    }
    return "";
}

// What the option takes, in --help's second column.
const char* type_name(const Field& field) {
    switch (field.kind) {
        case Kind::path:
        case Kind::settings:
            return "FILE";
        case Kind::whole:
        case Kind::whole_long:
        case Kind::count:
        case Kind::id:
            return "INT";
        case Kind::seconds:
            return "SECONDS";
        case Kind::parity:
            return "N|E|O";
        case Kind::duration:
            return "DURATION";
        case Kind::size:
            return "SIZE";
        default:
            return "TEXT";
    }
}

std::string description(const Field& field) {
    std::string text = field.help;
    const std::string accepted = accepted_text(field);
    if (field.kind != Kind::flag && field.kind != Kind::off_flag && accepted != "text")
        text += ". Accepts: " + accepted;
    if (field.key != nullptr) text += ". File: " + field_path(field);
    if (!field.reloadable) text += "; a reload does not change it";
    return text;
}

// A failure of the checks as the command line reports it: a usage error, status 2.
template <typename Body>
auto as_usage(Body body) {
    try {
        return body();
    } catch (const ConfigError& e) {
        throw UsageError(e.what());
    }
}

}  // namespace

HostCommandLine::HostCommandLine(CLI::App& app) {
    app.add_option("--config", config_file_,
                   "JSON file describing links and meters (see the configuration reference)");
    for (const Field& field : config_fields())
        if (field.option != nullptr) add_option(app, field);
    app.footer(std::string(kCommandLineRule) +
               "\n\nHistory export: kavren-host export --db FILE --meter NAME [--from T] [--to T] "
               "[--format csv|jsonl] [--step raw|1m|1h] (see kavren-host export --help)\n");
}

void HostCommandLine::add_option(CLI::App& app, const Field& field) {
    Given& g = options_.emplace_back();
    g.field = &field;
    const std::string help = description(field);
    if (field.kind == Kind::flag || field.kind == Kind::off_flag) {
        g.option = app.add_flag(field.option, g.flag, help);
    } else if (field.kind == Kind::names) {
        g.option = app.add_option(field.option, g.names, help)->type_name(type_name(field));
    } else {
        g.option = app.add_option(field.option, g.text, help)->type_name(type_name(field));
        const std::string shown = default_text(field);
        if (!shown.empty()) g.option->default_str(shown);
    }
    g.option->group(group_of(field.section));
}

const HostCommandLine::Given* HostCommandLine::given(Section section, const char* key) const {
    for (const Given& g : options_)
        if (g.field->section == section && g.field->key != nullptr &&
            std::string(g.field->key) == key)
            return g.given() ? &g : nullptr;
    return nullptr;
}

HostConfig HostCommandLine::config() const {
    HostConfig config = config_file_.empty() ? from_options() : from_file();
    as_usage([&] {
        apply_options(config);
        if (config.plugin.empty()) config.plugin = app::plugin_beside_program();
        validate(config);
    });
    check_sinks(config);
    return config;
}

// With --config the links are the file's: an option of the command line's one link is refused
// rather than left unused.
HostConfig HostCommandLine::from_file() const {
    for (const Given& g : options_) {
        if (!g.given()) continue;
        const Field& f = *g.field;
        if (f.kind == Kind::link_kind)
            throw UsageError(
                "give either --config or a link (--rtu/--tcp/--rtu-over-tcp), not both");
        if (f.section == Section::gateway)
            throw UsageError(
                "--gateway and its options serve a link given on the command line; with --config, "
                "give each link its \"gateway\" in the file");
        if (f.section == Section::link || f.section == Section::meter)
            throw UsageError(std::string(f.option) + " sets the " +
                             (f.section == Section::link ? "link" : "meter") +
                             " given on the command line; with --config, give each " +
                             (f.section == Section::link ? "link" : "meter") + " its \"" + f.key +
                             "\" in the file");
    }
    return as_usage([&] { return read_host_config(config_file_); });
}

HostConfig HostCommandLine::from_options() const {
    int links = 0;
    for (const Given& g : options_) links += g.field->kind == Kind::link_kind && g.given();
    if (links != 1)
        throw UsageError(
            "choose exactly one of --rtu DEVICE, --tcp HOST:PORT, --rtu-over-tcp HOST:PORT or "
            "--config FILE");
    HostConfig config;
    config.links.push_back(link_from_options());
    return config;
}

// The command line's one link and meter, where they go and the meter's settings; their other
// fields are applied as every option is.
LinkConfig HostCommandLine::link_from_options() const {
    LinkConfig link;
    if (const Given* rtu = given(Section::link, "rtu")) {
        link.kind = LinkConfig::Kind::rtu;
        link.device = rtu->text;
    } else {
        const Given* tcp = given(Section::link, "tcp");
        link.kind = tcp != nullptr ? LinkConfig::Kind::tcp : LinkConfig::Kind::rtu_over_tcp;
        try {
            link.tcp = app::parse_tcp_address(
                tcp != nullptr ? tcp->text : given(Section::link, "rtu_over_tcp")->text);
        } catch (const std::invalid_argument& e) {
            throw UsageError(e.what());
        }
    }
    if (given(Section::gateway, "listen") == nullptr &&
        (given(Section::gateway, "port_file") != nullptr ||
         given(Section::gateway, "writes") != nullptr))
        throw UsageError("--gateway-port-file and --gateway-writes need --gateway HOST:PORT");
    MeterConfig meter;
    meter.name = default_meter_name(0);
    if (const Given* settings = given(Section::meter, "settings")) {
        meter.settings = app::read_json_file(settings->text);
        meter.settings_origin = settings->text;
    }
    link.meters.push_back(std::move(meter));
    return link;
}

// Every option given, over what the file (or the defaults) said.
void HostCommandLine::apply_options(HostConfig& config) const {
    for (const Given& g : options_) {
        const Field& f = *g.field;
        if (!g.given() || f.at == nullptr) continue;
        void* const owners[] = {&config,
                                &config.links.front(),
                                &config.links.front().meters.front(),
                                &config.links.front().gateway,
                                &config.http,
                                &config.mqtt,
                                &config.retention};
        const Place command_line;
        FieldValue value;
        if (f.kind == Kind::flag || f.kind == Kind::off_flag) {
            value.flag = true;
        } else if (f.kind == Kind::names) {
            value.names = g.names;
        } else {
            value = value_from_text(f, g.text, command_line);
        }
        check_value(f, value, command_line);
        store_value(f, value, owners[static_cast<int>(f.section)]);
    }
}

// What the HTTP and MQTT sides need beyond their fields: the HTTP options that need an address,
// a password file that reads, and the MQTT settings that could never work.
void HostCommandLine::check_sinks(const HostConfig& config) const {
    if (config.http.listen.empty() &&
        (given(Section::http, "port_file") || given(Section::http, "password_file") ||
         given(Section::http, "host_names") || given(Section::http, "page_url")))
        throw UsageError(
            "--http-port-file, --http-password-file, --http-host-name and --http-page-url need "
            "--http HOST:PORT");
    std::vector<std::string> names;
    for (const LinkConfig& link : config.links)
        for (const MeterConfig& meter : link.meters) names.push_back(meter.name);
    try {
        if (!config.http.password_file.empty()) read_http_password_file(config.http.password_file);
        check_mqtt_config(config.mqtt, names);
    } catch (const std::runtime_error& e) {
        throw UsageError(e.what());
    }
}

}  // namespace kavren::host
