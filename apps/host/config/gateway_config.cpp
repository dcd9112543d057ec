#include "apps/host/config/gateway_config.h"

#include "apps/host/config/field_values.h"

namespace kavren::host {

namespace {

// The gateway's own place: its members are named inside "gateway" (on the command line, by
// their options).
Place inside_gateway(const Place& link_place) {
    Place place = link_place;
    if (!place.file.empty()) place.object = "gateway";
    return place;
}

}  // namespace

GatewayConfig read_gateway_config(const Json::Value& g, const std::string& file,
                                  const Place& link_place) {
    const Place place = inside_gateway(link_place);
    if (!g.isObject()) link_place.bad("\"gateway\" must be an object");
    GatewayConfig gateway;
    read_fields(Section::gateway, g, {}, file, place, &gateway);
    if (gateway.listen.empty()) place.bad("needs \"listen\": \"HOST:PORT\"");
    return gateway;
}

void check_gateway_config(const GatewayConfig& g, const Place& link_place) {
    const Place place = inside_gateway(link_place);
    try {
        listen_address(g.listen, "gateway");
    } catch (const std::invalid_argument& e) {
        place.bad(std::string(place.file.empty() ? "--gateway: " : "") + e.what());
    }
}

}  // namespace kavren::host
