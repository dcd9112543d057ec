#include "apps/host/config/gateway_config.h"

namespace kavren::host {

namespace {

// The gateway's own place: its members are named inside "gateway" (on the command line, by
// their options).
Place inside_gateway(const Place& link_place) {
    Place place = link_place;
    if (!place.file.empty()) place.link += ": \"gateway\"";
    return place;
}

}  // namespace

GatewayConfig read_gateway_config(const Json::Value& g, const std::string& file,
                                  const Place& link_place) {
    const Place place = inside_gateway(link_place);
    if (!g.isObject()) link_place.bad("\"gateway\" must be an object");
    only_members(g,
                 {"listen", "port_file", "writes", "max_clients", "max_queue", "max_age",
                  "idle_timeout_ms", "request_timeout_ms"},
                 place);
    GatewayConfig gateway;
    gateway.listen = text_member(g, "listen", place);
    if (gateway.listen.empty()) place.bad("needs \"listen\": \"HOST:PORT\"");
    gateway.port_file = beside(file, text_member(g, "port_file", place));
    if (g.isMember("writes")) {
        if (!g["writes"].isBool()) place.bad("writes", "--gateway-writes", "must be true or false");
        gateway.writes = g["writes"].asBool();
    }
    gateway.max_clients = int_member(g, "max_clients", gateway.max_clients, place);
    gateway.max_queue = int_member(g, "max_queue", gateway.max_queue, place);
    if (g.isMember("max_age")) {
        if (!g["max_age"].isNumeric())
            place.bad("max_age", "max_age", "must be a number of seconds");
        gateway.max_age_s = g["max_age"].asDouble();
        if (!(gateway.max_age_s >= 0) || gateway.max_age_s > 86400)
            place.bad("max_age", "max_age", "must be from 0 to 86400 seconds");
    }
    gateway.idle_timeout_ms = int_member(g, "idle_timeout_ms", gateway.idle_timeout_ms, place);
    gateway.request_timeout_ms =
        int_member(g, "request_timeout_ms", gateway.request_timeout_ms, place);
    return gateway;
}

void check_gateway_config(const GatewayConfig& g, const Place& link_place) {
    const Place place = inside_gateway(link_place);
    try {
        listen_address(g.listen, "gateway");
    } catch (const std::invalid_argument& e) {
        place.bad(std::string(place.file.empty() ? "--gateway: " : "") + e.what());
    }
    check_range(place, "max_clients", "max_clients", g.max_clients, 1, 256, " clients");
    check_range(place, "max_queue", "max_queue", g.max_queue, 1, 256, " requests");
    check_range(place, "idle_timeout_ms", "idle_timeout_ms", g.idle_timeout_ms, 100, 86400000,
                " ms");
    check_range(place, "request_timeout_ms", "request_timeout_ms", g.request_timeout_ms, 100,
                600000, " ms");
}

}  // namespace kavren::host
