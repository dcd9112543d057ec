#pragma once

#include <string>

#include <json/json.h>

#include "apps/host/config/config_fields.h"
#include "apps/host/config/link_config.h"

namespace kavren::host {

// A link's "gateway" object of the configuration file; paths are taken from the file's folder.
// Throws ConfigError naming the link and the member.
GatewayConfig read_gateway_config(const Json::Value& object, const std::string& file,
                                  const Place& link_place);
// The gateway's address one a server can listen on (its other values are checked as they are
// read). Throws ConfigError.
void check_gateway_config(const GatewayConfig& gateway, const Place& link_place);

}  // namespace kavren::host
