#include "apps/host/config/mqtt_config.h"

#include "apps/host/config/field_values.h"

namespace kavren::host {

void read_mqtt_config(const Json::Value& object, const std::string& file, MqttConfig& config) {
    if (!object.isObject()) Place{file, {}, {}}.bad("\"mqtt\" must be an object");
    const Place place{file, {}, {}, "mqtt"};
    if (object.isMember("password"))
        place.bad("give the password in a file (\"password_file\"), not here");
    read_fields(Section::mqtt, object, {}, file, place, &config);
}

}  // namespace kavren::host
